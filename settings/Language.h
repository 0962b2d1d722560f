// The translation every caption, title and message passes through.
#pragma once

#include "engine/uFormat.h"
#include "settings/LangChanger.h"

#include <memory>
#include <string>
#include <string_view>

// The program's language object: created with the options, freed when they
// are saved. Without it texts stay untranslated.
extern std::unique_ptr<TLangChanger> LangChanger;

// TranslateString of the global LangChanger, or Text unchanged without one.
std::string Translate(const std::string& Text);

// The message Key formatted with Args: its translation, or BuiltIn where no
// language has it (the bare key would fit any arguments and be shown as it
// stands) or the translation does not fit them.
std::string TranslateFormat(const std::string& Key, std::string_view BuiltIn,
                            std::initializer_list<TFormatArg> Args);
