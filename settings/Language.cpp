#include "settings/Language.h"

std::unique_ptr<TLangChanger> LangChanger;

std::string Translate(const std::string& Text)
{
    return LangChanger ? LangChanger->TranslateString(Text) : Text;
}
