// The program's options: plain globals named after their keys in
// "options.xml", loaded once when the main window is created and saved once
// when it is destroyed. The options the scan engine reads, and its message
// texts, are declared by the engine; this unit loads and saves them too.
//
// Each option is declared once, as a row of its section's table
// (ProgramOptionSections): key, global, default, and the values it may take.
// Reading, writing and reset loop over those tables. Values read from the
// file are checked: a number outside its range (or a target, method or style
// outside its vocabulary) keeps the default, as a text that is no number does.
#pragma once

#include "engine/uEngineOptions.h"
#include "settings/CommonTypes.h"

#include <array>
#include <functional>
#include <span>
#include <string>
#include <vector>

class TXMLStorage;

// --- Section "Defaults" (besides the engine's options) ----------------------
extern bool bVertGrid;
extern bool bHorzGrid;
extern bool bStripped;
extern int pnlLeftWidth;
extern int PanelLogHeight;
extern bool ClearBeforeTolvex;
extern bool bInverseLog;
extern int LastTarget; // TScanTarget
extern int LasTMethod; // TScanMethod, as the main window's method selector sets it
extern std::vector<std::string> lstFind;
extern std::vector<std::string> lstBookmarks; // "start-stop" per range
extern std::vector<std::string> lstAddressList;
extern int MaxBoomarks;
extern bool bShowLog;
extern std::string DefaultLang;

// --- Section "Window" ---------------------------------------------------------
extern int MainWindowTop; // 0 on a first start: centred
extern int MainWindowLeft;
extern int MainWindowWidth;
extern int MainWindowHeight;
extern int MainWindowState; // 0 normal, 1 minimized, 2 maximized

// --- Section "MACColumns" -----------------------------------------------------
constexpr int MACColumnCount = 5;
extern std::array<TListColumnStore, MACColumnCount> MACColumns;

// --- Message texts of the main window and dialogs -----------------------------
// Each holds the translation of its own name, or the name itself.
extern std::string sSelectComp;
extern std::string sErrorInIP;
extern std::string sErrorInMask;
extern std::string sErrorDetectIPRange;
extern std::string sFormatSelectIpRange;
extern std::string sEmptyComputerName;
extern std::string sWrongIPRange;
extern std::string sWrongExpression;
extern std::string sAnotherFindProcessActive;
extern std::string sSetStatusStart;
extern std::string sSetStatusFinish;
extern std::string sSetStatusCanceled;
extern std::string sSetStatusScanComputer;
extern std::string sSetStatusScanComputerError;
extern std::string sNetAPIFailed;
extern std::string sComputerName;
extern std::string sComputerIP;
extern std::string sCannotDetectIP;
extern std::string sFindFinished;
extern std::string sFileNoRead;
extern std::string sError;
extern std::string sEnterValidCompName;
extern std::string sAddressAllSelectedDeleteWarning;
extern std::string sComputerFinded;
extern std::string sComputerSelected;
extern std::string sAddressAllSelectedDelete;
extern std::string sUnknownManufacturer;
extern std::string sMACAddressInvalid;

// --- Primary screen -------------------------------------------------------------
// The size of the primary screen, for centring a window on a first start.
// The user interface installs the source; without one (or with a size of 0)
// the window position stays 0, which the stored form treats as "nowhere".
struct TScreenSize {
    int Width = 0;
    int Height = 0;
};
using TPrimaryScreenSizeFunc = std::function<TScreenSize()>;
// Returns the source it replaces.
TPrimaryScreenSizeFunc SetPrimaryScreenSizeFunc(TPrimaryScreenSizeFunc Func);

// Prepares the settings folder and files, reads every option from
// OptionsFile, creates the global LangChanger and loads the message texts.
void LoadProgramOptions();
// Writes every option back into OptionsFile (which must exist) and frees the
// global LangChanger.
void SaveProgramOptions();
// Refills every message global and the column captions from the current
// language (also after a change of language).
void LoadMessageStrings();

// The reading and writing steps of the two above, on a loaded store.
void ReadProgramOptions(TXMLStorage& Storage);
void WriteProgramOptions(TXMLStorage& Storage);
// Sets every option of every section, the engine's too, and the column
// layout back to its built-in default.
void ResetProgramOptions();

// One section of "options.xml" with its options, in the order they are
// written (which decides where a key missing from the file is added).
struct TOptionSection {
    const char* Name;
    std::vector<TOption> Options;
    // Whether the options are written now; null: always.
    bool (*Written)() = nullptr;
};
// "Defaults" (the engine's options among them, in their places), then
// "Window" in two parts: the bounds, written only while the window is in
// its normal state, and the state. The "MACColumns" keys are per column: see
// ReadColumnSettings.
const std::vector<TOptionSection>& ProgramOptionSections();

// One message global of the main window and dialogs and its language key,
// which is also its text without a translation.
struct TProgramMessage {
    const char* Key;
    std::string* Text;
};
const std::vector<TProgramMessage>& ProgramMessages();

// The "MACColumns" keys of columns 0..LastIndex (no further than Columns
// reaches). A stored value outside its range keeps the column's default.
void ReadColumnSettings(TXMLStorage& Storage, std::span<TListColumnStore> Columns, int LastIndex,
                        const std::string& Section);
void WriteColumnSettings(TXMLStorage& Storage, std::span<const TListColumnStore> Columns,
                         int LastIndex, const std::string& Section);
