// The table of ways a report can be sent by, in order of preference (see
// kelExceptSend.h for how the dispatcher walks it). The network ways (bug
// trackers, HTTP upload, SMTP) join it with their own units.
#include "crashreport/send/kelExceptMailClient.h"
#include "crashreport/send/kelExceptNetWays.h"
#include "crashreport/send/kelExceptSend.h"

namespace {

TSendResult ViaMailProgram(TSendJob& Job)
{
    return SendViaMailProgram(Job.To, Job.Subject, Job.Body, Job.Attachments)
               ? TSendResult::srSent
               : TSendResult::srFailed;
}

TSendResult ViaMailto(TSendJob& Job)
{
    return SendViaMailto(Job.To, Job.Subject, Job.Body) ? TSendResult::srSent
                                                        : TSendResult::srFailed;
}

constexpr TSendWay Ways[] = {
    // A bug tracker in place of the plain upload: the first one switched on.
    {"FogBugz", "FogBugz", sgWeb, swNetwork, WebWayApplies, SendViaFogBugz},
    {"Bugzilla", "BugZilla", sgWeb, swNetwork, WebWayApplies, SendViaBugzilla},
    {"Mantis", "Mantis", sgWeb, swNetwork, WebWayApplies, SendViaMantis},
    {"HTTP upload", "UploadViaHttp", sgWeb, swNetwork, WebWayApplies, SendViaHttpUpload},
    // SMTP as its own server (to the recipients' mail exchangers) in place of
    // a configured server.
    {"SMTP server mode", "MailAsSmtpServer", sgSmtp, swNetwork | swSmtp | swMxLookup,
     SmtpServerModeApplies, SendAsSmtpServer},
    {"SMTP", "MailAsSmtpClient", sgSmtp, swNetwork | swSmtp, SmtpClientApplies, SendViaSmtpServer},
    // The user's mail program with the attachments ("MailViaMapi" names the
    // mail interface of the system the settings were designed for).
    {"mail program", "MailViaMapi", sgMailClient, swAttachments | swUserPresent, nullptr,
     ViaMailProgram},
    {"mailto", "MailViaMailto", sgMailClient, swUserPresent, nullptr, ViaMailto},
};

} // namespace

std::span<const TSendWay> SendWays()
{
    return Ways;
}
