// Filing a crash report as an issue in a bug tracker: FogBugz (its XML API),
// Bugzilla (XML-RPC) and Mantis (SOAP). Each way first asks the server what
// it offers (projects, areas or components, versions, priorities, people),
// picks values it accepts, creates the issue and uploads the attachments,
// all through TWinHttp with the tracker's account.
//
// Replies are untrusted XML, read with pugixml once (entities decoded once,
// CDATA as it is), their depth bounded. Every value written into a request
// is escaped, and characters XML 1.0 cannot hold are dropped. The tracker's
// password goes only over HTTPS: over plain HTTP a way that would send one
// fails before its first request.
#pragma once

#include "crashreport/send/kelExceptHttp.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TTrackerIssue {
    std::string Title, Description, Project, Area, AssignTo;
    // The report's header fields "version", "computer name", "operating
    // system" and "callstack crc".
    std::string Version, ComputerName, OperatingSystem, CallstackCrc;
    std::string Sender;
    std::vector<THttpAttachment> Attachments;
};

// Each answers whether the issue was created with its attachments; on
// failure the client's last error tells why (a tracker's error or fault
// text, or the HTTP failure).
bool FogBugzSubmit(TWinHttp& Http, const TTrackerIssue& Issue);
bool BugzillaSubmit(TWinHttp& Http, const TTrackerIssue& Issue);
bool MantisSubmit(TWinHttp& Http, const TTrackerIssue& Issue);

// --- Reading replies (also what the fuzz target feeds) -----------------------

// An element of a reply: its name without a namespace prefix, its text
// (the concatenated text and CDATA directly inside it), its elements.
struct TXmlElement {
    std::string Name;
    std::string Text;
    std::vector<std::pair<std::string, std::string>> Attributes;
    std::vector<TXmlElement> Children;

    // The first child of that name; null when none.
    const TXmlElement* Child(std::string_view ChildName) const;
    // The first element of that name at any depth below (itself included).
    const TXmlElement* Find(std::string_view ElementName) const;
    // Every element of that name at any depth below, in document order.
    void FindAll(std::string_view ElementName, std::vector<const TXmlElement*>& Out) const;
    // The text of the child of that name; empty when none.
    std::string ChildText(std::string_view ChildName) const;
};

// The document element of a reply; false (with Error) when it is not
// well-formed or nests deeper than 64 elements.
bool ParseXmlReply(std::string_view Xml, TXmlElement& Root, std::string& Error);

struct TRpcMember;

// An XML-RPC value.
struct TRpcValue {
    enum TKind {
        rvNone,
        rvString,
        rvInt,
        rvBool,
        rvDouble,
        rvBase64,
        rvDateTime,
        rvArray,
        rvStruct
    };
    TKind Kind = rvNone;
    std::string Text; // a scalar's text
    std::vector<TRpcValue> Items;
    // A struct's members in their order (a type of their own: a std::pair of
    // the value's own, still incomplete, type is refused by some libraries).
    std::vector<TRpcMember> Members;

    const TRpcValue* Member(std::string_view Name) const;
};

struct TRpcMember {
    std::string Name;
    TRpcValue Value;
};

struct TRpcReply {
    bool Ok = false;
    std::string Fault; // the fault's faultString, or why the reply could not be read
    TRpcValue Value;
};
TRpcReply ParseXmlRpcReply(std::string_view Xml);

struct TSoapReply {
    bool Ok = false;
    bool Faulted = false; // the reply is a SOAP fault
    std::string Fault;    // faultstring, or why the reply could not be read
    TXmlElement Return;
};
TSoapReply ParseSoapReply(std::string_view Xml);

// A FogBugz reply: its <response>, or the text of its <error>.
struct TFogBugzReply {
    bool Ok = false;
    std::string Error;
    TXmlElement Response;
};
TFogBugzReply ParseFogBugzReply(std::string_view Xml);

// Text for an XML element or attribute: &, <, >, " and ' escaped; bytes that
// are not UTF-8 and characters XML 1.0 forbids left out.
std::string XmlEscape(std::string_view Text);
