#include "settings/Language.h"

std::unique_ptr<TLangChanger> LangChanger;

std::string Translate(const std::string& Text)
{
    return LangChanger ? LangChanger->TranslateString(Text) : Text;
}

std::string TranslateFormat(const std::string& Key, std::string_view BuiltIn,
                            std::initializer_list<TFormatArg> Args)
{
    std::string T = Translate(Key);
    if (T == Key)
        T = BuiltIn;
    return FormatChecked(T, BuiltIn, Args);
}
