// The table of ways a report can be sent by, in order of preference (see
// kelExceptSend.h for how the dispatcher walks it). The network ways (bug
// trackers, HTTP upload, SMTP) join it with their own units.
#include "crashreport/send/kelExceptMailClient.h"
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
