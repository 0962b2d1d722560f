// What the main window's file commands ask of the desktop: a file dialog and
// the computer search of the network neighbourhood. Each goes through a
// replaceable function, so tests choose the answers.
#pragma once

#include <QStringList>

#include <functional>
#include <string>
#include <vector>

// An open or save dialog as the commands describe it. Filter is the class
// library's form: description and patterns alternating, separated by "|"
// ("XML file (*.xml)|*.xml").
struct TFileDialogOptions {
    bool Save = false;
    std::string InitialDir; // empty: where the last dialog was
    std::string DefaultExt; // without "."; appended when the name has none
    std::string Filter;
    int FilterIndex = 1; // 1-based, as the commands count
    bool OverwritePrompt = false;
    bool FileMustExist = false;
};

// Shows the dialog: true with the chosen file and the 1-based index of the
// chosen filter; false when cancelled.
using TFileDialogFn =
    std::function<bool(const TFileDialogOptions& Options, std::string& FileName, int& FilterIndex)>;

// Installs Fn (empty: the toolkit's dialog again); returns the one replaced.
TFileDialogFn SetFileDialog(TFileDialogFn Fn);
bool ExecuteFileDialog(const TFileDialogOptions& Options, std::string& FileName, int& FilterIndex);

// The class library's filter as the toolkit's name filters, one per pair;
// the patterns go in brackets after the description, where the toolkit reads
// them ("HTML file (*.htm; *.html)|*.htm;*.html" gives
// "HTML file (*.htm *.html)").
QStringList ToQtNameFilters(const std::string& Filter);

// The computer search: fills Names with the computers found; true on OK.
using TAddressComputerFinder = std::function<bool(std::vector<std::string>& Names)>;

// Installs the search (by default the "Find Computers" dialog; empty: none,
// and the address list's Find command is disabled); returns the one replaced.
TAddressComputerFinder SetAddressComputerFinder(TAddressComputerFinder Fn);
