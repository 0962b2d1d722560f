// Runs a command through the shell for the crash reporter's tests: its
// standard output (and standard error, when the command redirects it), and
// its exit status.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <sys/wait.h>

struct TCommandResult {
    int Status = -1;
    std::string Output;
};

inline TCommandResult RunCommand(const std::string& Command)
{
    TCommandResult R;
    FILE* P = ::popen(Command.c_str(), "r");
    if (P == nullptr)
        return R;
    char Buf[4096];
    for (std::size_t N; (N = std::fread(Buf, 1, sizeof Buf, P)) > 0;)
        R.Output.append(Buf, N);
    const int Rc = ::pclose(P);
    R.Status = WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
    return R;
}

// S in single quotes, for the shell.
inline std::string Quote(const std::string& S)
{
    std::string Q = "'";
    for (char C : S)
        Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
    return Q + "'";
}

// Bytes as lower-case hexadecimal, as the Python oracles print texts.
inline std::string Hex(std::string_view Bytes)
{
    static const char Digits[] = "0123456789abcdef";
    std::string H;
    for (unsigned char C : Bytes) {
        H.push_back(Digits[C >> 4]);
        H.push_back(Digits[C & 15]);
    }
    return H;
}
