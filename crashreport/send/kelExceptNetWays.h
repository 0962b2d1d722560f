// The network ways of the send dispatcher's table: the bug trackers and the
// plain upload (the web group), SMTP as its own server and through a
// configured server (the SMTP group). Each reads its settings from the job,
// rebuilds the progress areas for what it will send, and leaves the reason
// of a failure in the job's LastError.
#pragma once

#include "crashreport/send/kelExceptSend.h"

#include <cstdint>
#include <vector>

// How a network way lays out the progress window.
enum class TNetProgress : std::uint8_t { npWeb, npSmtpClient, npSmtpServer };

// Clears the progress window and adds its areas: "PrepAttMsg" 500; in server
// mode "MxLookMsg" 500; "ConnMsg" (500 for SMTP, 5000 for the web);
// "SendMailMsg" 100 for SMTP; "SendAttMsg" for each attachment whose file
// opens, weighing its size / 16; "SendFinalMsg" 1000. In server mode every
// further recipient adds its own lookup, connection, mail, attachment and
// final areas. The window then stands at the area after "PrepAttMsg".
void RebuildSendProgress(IProgressAlert& Progress, const IKESettings& Settings, TNetProgress Mode,
                         const std::vector<TPreparedAttachment>& Attachments, int Recipients = 1);

TSendResult SendViaFogBugz(TSendJob& Job);
TSendResult SendViaBugzilla(TSendJob& Job);
TSendResult SendViaMantis(TSendJob& Job);
TSendResult SendViaHttpUpload(TSendJob& Job);
TSendResult SendAsSmtpServer(TSendJob& Job);
TSendResult SendViaSmtpServer(TSendJob& Job);

// What the ways need besides their switch: "HttpServer" for the web ways,
// "MailAddr" for both SMTP ways, and "SmtpServer" for the configured server.
bool WebWayApplies(const TSendJob& Job);
bool SmtpServerModeApplies(const TSendJob& Job);
bool SmtpClientApplies(const TSendJob& Job);
