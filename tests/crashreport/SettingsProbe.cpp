// A program whose settings section the build adds with tolvex_crash_resources():
// prints "found 1" (or 0), then "<key> = <value>" for each argument
// "bool:<key>", "int:<key>" or "text:<key>", as its settings answer them.
#include "crashreport/kelExceptSettings.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const auto Settings = NewSettings();
    std::printf("found %d\n", Settings->Found() ? 1 : 0);
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        const auto Colon = Arg.find(':');
        const std::string Kind = Arg.substr(0, Colon), Key = Arg.substr(Colon + 1);
        std::string Value;
        if (Kind == "bool")
            Value = Settings->GetBoolSetting(TBoolKey::Named(Key)) ? "true" : "false";
        else if (Kind == "int")
            Value = std::to_string(Settings->GetIntSetting(TIntKey::Named(Key)));
        else
            Value = Settings->GetTextSetting(TTextKey::Named(Key));
        std::printf("%s = %s\n", Key.c_str(), Value.c_str());
    }
    return 0;
}
