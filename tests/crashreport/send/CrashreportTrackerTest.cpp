// Reading the trackers' replies: each value decoded once (an escaped entity
// stays an entity), CDATA as it is, a value of blanks kept while indentation is
// not, faults as their text, and replies that nest without end refused.
#include "crashreport/send/kelExceptTrackers.h"

#include <gtest/gtest.h>

TEST(CrashreportTrackerReply, ReadsRepliesOnce)
{
    struct TCase {
        const char* Xml;
        bool Ok;
        const char* Text; // the value or the fault
    };
    // The XML-RPC reader: faults, nesting, entities, CDATA.
    const TCase Rpc[] = {
        {"<methodResponse><params><param><value><struct><member><name>version</name><value>"
         "<string>&amp;lt;5&amp;gt;</string></value></member></struct></value></param></params>"
         "</methodResponse>",
         true, "&lt;5&gt;"},
        {"<methodResponse><params><param><value><struct><member><name>version</name><value>"
         "<![CDATA[<b>&amp;</b>]]></value></member></struct></value></param></params>"
         "</methodResponse>",
         true, "<b>&amp;</b>"},
        {"<methodResponse><fault><value><struct><member><name>faultString</name><value>"
         "<string>No &lt;access&gt;</string></value></member></struct></value></fault>"
         "</methodResponse>",
         false, "No <access>"},
        {"<methodResponse><params><param><value><struct><member><name>version</name><value>"
         "<string>\t </string></value></member></struct></value></param></params>"
         "</methodResponse>",
         true, "\t "},
        {"<methodResponse>\n <params>\n  <param>\n   <value>\n    <struct>\n     <member>\n"
         "      <name>version</name>\n      <value>\n       <string>5.0</string>\n      </value>\n"
         "     </member>\n    </struct>\n   </value>\n  </param>\n </params>\n</methodResponse>",
         true, "5.0"},
        {"<methodResponse><params><param><value><struct>", false, "the reply is not XML"},
    };
    for (const auto& C : Rpc) {
        SCOPED_TRACE(C.Xml);
        const TRpcReply R = ParseXmlRpcReply(C.Xml);
        EXPECT_EQ(R.Ok, C.Ok);
        if (C.Ok) {
            ASSERT_NE(R.Value.Member("version"), nullptr);
            EXPECT_EQ(R.Value.Member("version")->Text, C.Text);
        } else {
            EXPECT_EQ(R.Fault.rfind(C.Text, 0), 0u) << R.Fault;
        }
    }
    std::string Deep;
    for (int I = 0; I < 100; ++I)
        Deep += "<a>";
    for (int I = 0; I < 100; ++I)
        Deep += "</a>";
    TXmlElement Root;
    std::string Error;
    EXPECT_FALSE(ParseXmlReply(Deep, Root, Error));
    EXPECT_EQ(Error, "the reply nests too deep");
}
