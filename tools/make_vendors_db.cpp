// make_vendors_db OUTPUT LIST...: builds the vendor database from IEEE
// registry lists, read in the order given (a block listed again later wins).
#include "tools/IeeeLists.h"

#include <cstdio>
#include <map>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT LIST...\n", argv[0]);
        return 2;
    }
    try {
        std::vector<TVendorBlock> all;
        std::vector<std::pair<std::string, size_t>> counts;
        for (int a = 2; a < argc; ++a) {
            std::vector<TVendorBlock> blocks = ReadIeeeList(argv[a]);
            std::map<std::string, size_t> perRegistry;
            for (const TVendorBlock& b : blocks)
                ++perRegistry[b.Registry];
            for (const auto& [reg, n] : perRegistry)
                counts.emplace_back(reg + " (" + argv[a] + ")", n);
            all.insert(all.end(), blocks.begin(), blocks.end());
        }
        WriteVendorsDb(argv[1], all);
        for (const auto& [what, n] : counts)
            std::printf("%s: %zu rows\n", what.c_str(), n);
        std::printf("%s: %zu rows in all\n", argv[1], all.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
