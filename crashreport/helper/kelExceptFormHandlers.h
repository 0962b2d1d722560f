// The handlers of the two assistant forms that need more than their
// description: the contact form and the screenshot form. Forms select them
// with "OnAction = kelExcept.HandleContactForm" and
// "kelExcept.HandleScreenshotForm"; InstallFormHandlers makes those names
// known. Both work on the helper's mirror of the exception (the context the
// assistant was given, kelExceptMirror.h).
//
// Contact form ("NameEdit", "EmailEdit", "MemCheck"): when read, the name and
// address the user let it remember fill the edits and check "MemCheck"; an
// address that is typed must be a mail address (the edit is optional only
// while empty); when the user goes on, both are remembered or forgotten as
// "MemCheck" says, and the exception's "MailFrom" becomes
// "name <address>" (or the address alone). The remembered values live in
// $XDG_CONFIG_HOME/tolvex/crashreport.ini, [ContactForm] RememberName and
// RememberEmail.
//
// Screenshot form ("ScrShotImg", "AttachCheck"): when read, the image shows
// the exception's screenshot and "AttachCheck" its switch. A click on the
// picture saves it as "screenShot.bmp" in the private temporary folder and
// opens it with the desktop's program for it (xdg-open); every later event
// of the form (its timer, a click) looks whether the file was saved since,
// and a picture read from it becomes the exception's screenshot. When the form
// is left, the file goes and the switch is copied back.
#pragma once

#include "crashreport/helper/kelNVAssistant.h"

#include <cstdint>
#include <string>
#include <string_view>

void HandleContactForm(INVForm& Form, std::uint8_t Action, INVItem* Item, INVContext* Context);
void HandleScreenshotForm(INVForm& Form, std::uint8_t Action, INVItem* Item, INVContext* Context);

// Makes "kelExcept.HandleContactForm" and "kelExcept.HandleScreenshotForm"
// select the two handlers.
void InstallFormHandlers();

// True exactly when: the text is not empty and has no blanks at its ends; an
// "@" stands at its second character or later, and a "." somewhere after the
// last "@"; it neither begins nor ends with ".", and no "." follows the last
// "@" directly; and with every letter, digit, "'", "+", "-", "_" and "."
// taken out, exactly "@" is left.
bool IsValidEmailAddress(std::string_view Text);

// The file of the remembered name and address.
std::string ContactFormSettingsFile();
