// tolvex-crashreport: the crash report helper program. The program starts it
// with its end of the link as descriptor 3 (crashreport/kelExceptLink.h); it
// serves the link until the program closes it and its own work is done.
#include "crashreport/helper/kelExceptBoxSession.h"
#include "crashreport/helper/kelExceptClip.h"
#include "crashreport/helper/kelExceptFormHandlers.h"
#include "crashreport/helper/kelExceptWatch.h"
#include "crashreport/helper/kelHelperSession.h"
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptTemp.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

int main(int argc, char** argv)
{
    struct stat Info {};
    if (::fstat(HelperLinkFd, &Info) != 0 || !S_ISSOCK(Info.st_mode)) {
        std::fprintf(stderr,
                     "%s: the crash report helper is started by the program, with its "
                     "link as descriptor %d\n",
                     argc > 0 ? argv[0] : "tolvex-crashreport", HelperLinkFd);
        return 2;
    }
    // A program gone while a frame is written is the link's end, not ours.
    std::signal(SIGPIPE, SIG_IGN);
    // What processes that ended without cleaning up left behind.
    RemoveEndedTempFolders();
    // The handlers the assistants' forms name.
    InstallFormHandlers();
    THelperSession Session(std::make_shared<TExceptLink>(HelperLinkFd), argc, argv);
    TExceptBoxSession Boxes(Session);
    RegisterClipHandler(Session);
    // The program's last words, when it gave the helper their socket.
    const bool Words = ::fstat(HelperLastWordsFd, &Info) == 0 && S_ISSOCK(Info.st_mode);
    TExceptWatch Watch(Session, Boxes, Words ? HelperLastWordsFd : -1);
    return Session.Run();
}
