// Helpers shared by the settings tests besides TempFolder: file checks, the
// xmllint oracle and a recorder for the store's error messages.
#pragma once

#include "settings/uXMLStorage.h"
#include "tests/support/TempFolder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

bool FileExists(const std::string& Path);
// Names in Folder, sorted.
std::vector<std::string> ListFolder(const std::string& Folder);

// Exit status of "xmllint --noout Path" (0: well-formed).
int XmlLint(const std::string& Path);

// Collects what the store would show in a message box while it lives.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;
    std::vector<std::pair<std::string, std::string>> Messages;

private:
    TXMLStorageMessageHandler FOld;
};

// ---- implementation ----

inline bool FileExists(const std::string& Path)
{
    std::error_code Ec;
    return fs::exists(fs::symlink_status(Path, Ec));
}

inline std::vector<std::string> ListFolder(const std::string& Folder)
{
    std::vector<std::string> Names;
    for (const auto& E : fs::directory_iterator(Folder))
        Names.push_back(E.path().filename().string());
    std::sort(Names.begin(), Names.end());
    return Names;
}

inline int XmlLint(const std::string& Path)
{
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    std::string Prog = "xmllint", Opt = "--noout", Arg = Path;
    char* Argv[] = {Prog.data(), Opt.data(), Arg.data(), nullptr};
    pid_t Pid = 0;
    const int Rc = posix_spawnp(&Pid, "xmllint", &Actions, nullptr, Argv, environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Rc != 0)
        return -1;
    int Status = 0;
    if (::waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status))
        return -1;
    return WEXITSTATUS(Status);
}

inline MessageRecorder::MessageRecorder()
{
    FOld = SetXMLStorageMessageHandler([this](const std::string& Caption, const std::string& Text) {
        Messages.emplace_back(Caption, Text);
    });
}

inline MessageRecorder::~MessageRecorder()
{
    SetXMLStorageMessageHandler(FOld);
}

} // namespace testsupport
