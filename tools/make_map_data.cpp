// Writes the packed map data of an executable into the executable itself:
// the DWARF of the build is read, packed and added as the non-loaded section
// ".rsrc.KEL.EXCEPT", where the crash library finds names and lines at crash
// time without reading any other file.
//
//   tolvex_make_map_data <objcopy> <executable>
#include "crashlib/kelMapFile.h"

#include <cstdio>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

int Run(const std::vector<std::string>& Args)
{
    std::vector<char*> Argv;
    for (const auto& A : Args)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    pid_t Pid;
    if (posix_spawnp(&Pid, Argv[0], nullptr, nullptr, Argv.data(), environ) != 0)
        return -1;
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0)
        ;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <objcopy> <executable>\n", argv[0]);
        return 2;
    }
    const std::string ObjCopy = argv[1], Executable = argv[2];
    TMapFile Map(0, Executable, mdsDwarf);
    if (!Map.Valid) {
        // A build without debug information simply has no map data.
        std::fprintf(stderr, "%s: no DWARF line information in %s; no map data written\n", argv[0],
                     Executable.c_str());
        return 0;
    }
    const std::string Block = PackMapData(Map);
    const std::string Temp = Executable + ".kelmap";
    {
        std::ofstream Out(Temp, std::ios::binary | std::ios::trunc);
        Out.write(Block.data(), static_cast<std::streamsize>(Block.size()));
        if (!Out) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], Temp.c_str());
            return 1;
        }
    }
    const int Rc = Run({ObjCopy, "--remove-section", ".rsrc.KEL.EXCEPT", "--add-section",
                        ".rsrc.KEL.EXCEPT=" + Temp, Executable});
    unlink(Temp.c_str());
    if (Rc != 0) {
        std::fprintf(stderr, "%s: %s failed on %s\n", argv[0], ObjCopy.c_str(), Executable.c_str());
        return 1;
    }
    std::printf("map data of %s: %zu segments, %zu routines, %zu lines, %zu bytes\n",
                Executable.c_str(), Map.Segments.size(), Map.Publics.size(), Map.Lines.size(),
                Block.size());
    return 0;
}
