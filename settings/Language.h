// The translation every caption, title and message passes through.
#pragma once

#include "settings/LangChanger.h"

#include <memory>
#include <string>

// The program's language object: created with the options, freed when they
// are saved. Without it texts stay untranslated.
extern std::unique_ptr<TLangChanger> LangChanger;

// TranslateString of the global LangChanger, or Text unchanged without one.
std::string Translate(const std::string& Text);
