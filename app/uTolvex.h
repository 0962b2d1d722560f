// The program's main window: the targets and methods on the left, the result
// list, its filter bar and the log on the right, the tool bar, the menus and
// the status bar with the scan's progress.
//
// The window owns the scan pool, the global result list and the comments per
// MAC address. Everything here runs in the main thread; the pool's events
// arrive there too.
//
// The window is split over several units: uTolvex.cpp (creation, targets,
// scan control, progress and layout), uTolvexLists.cpp (the result list and
// the log), uTolvexFiles.cpp (saving, opening, exporting and the address
// list), uTolvexCommands.cpp (bookmarks, open as, help and dialogs),
// uTolvexView.cpp (grid and column views, the language menu) and
// uTolvexTools.cpp (the command lists' menus).
#pragma once

#include "app/uFormStored.h"
#include "app/uLogList.h"
#include "app/uMacComments.h"
#include "app/uMacList.h"
#include "forms/FormTranslation.h"

#include <QPointer>
#include <QProgressBar>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QEvent;
class QShowEvent;
class QLabel;
class QMenu;
class QToolButton;
class TAction;
class TActionList;
class TCommandList;
class TPoolOfThreads;
struct TFileDialogOptions;
struct TVirtualNode;
namespace Ui {
class TfrmTolvex;
}

// The widths of the status bar's panels 0 to 3 (panel 2 takes what is left).
inline constexpr int StatusPanelWidths[4] = {300, 200, 200, 150};

class TfrmTolvex : public TFormStored {
    Q_OBJECT
public:
    explicit TfrmTolvex(QWidget* Parent = nullptr);
    ~TfrmTolvex() override;

    // --- Scan control ------------------------------------------------------------
    // True while the pool runs a scan.
    bool IsScanning() const;
    // Hands the pool the target data of the chosen target, the method and
    // the target kind. A target whose data is incomplete shows its message
    // and returns false; the pool then keeps what it had.
    bool PrepareScan();
    TPoolOfThreads& Pool() const { return *FPool; }
    // The find command. It checks for a running scan itself: a key press
    // queued before the action was disabled still reaches it.
    void actTolvexExecute();
    // The method the radio buttons choose: the last checked of NetBIOS, NET
    // API, WMI and SNMP, else ARP.
    int CheckedMethod() const;

    // The progress timer's handler: bar, elapsed time and the counts.
    void UpdateProgress();
    // Status bar panel 0 to 3.
    QLabel* StatusPanel(int Index) const;
    QProgressBar* ProgressBar() const { return FProgressBar; }
    // Moment the current scan started (days, as TTreeLogTaskData::Time).
    double StartTime() const { return FStartTime; }
    void SetStartTime(double Value) { FStartTime = Value; }

    // The comments per MAC address: "MAC=comment" lines.
    TMacComments MacComments;

    // --- Actions -------------------------------------------------------------------
    TActionList* ActionList = nullptr;
    // Scan control and targets.
    TAction* actTolvex = nullptr;
    TAction* actTolvexStop = nullptr;
    TAction* actSelectComputer = nullptr;
    TAction* actRangeB = nullptr;
    TAction* actRangeC = nullptr;
    TAction* actExit = nullptr;
    // Result list and log list.
    TAction* actClearList = nullptr;
    TAction* actCopyLine = nullptr;
    TAction* actCopy = nullptr;
    TAction* actCopyLog = nullptr;
    TAction* actShowLog = nullptr;
    TAction* actHideLog = nullptr;
    TAction* actShowFilters = nullptr;
    TAction* actHideFilters = nullptr;
    TAction* actEditComment = nullptr;
    TAction* actFindInList = nullptr;
    // Files and the address list.
    TAction* actSaveFile = nullptr;
    TAction* actOpenFile = nullptr;
    TAction* actExport = nullptr;
    TAction* actAddressListComputerAdd = nullptr;
    TAction* actAddressListComputerEdit = nullptr;
    TAction* actAddressListComputerDelete = nullptr;
    TAction* ActAddressListDeleteAll = nullptr;
    TAction* actAddressListFind = nullptr;
    TAction* actAddressListImport = nullptr;
    TAction* actAddressListExport = nullptr;
    // The second actions of the address list's button column.
    TAction* actAddressListComputerAddSB = nullptr;
    TAction* actAddressListComputerEditSB = nullptr;
    TAction* actAddressListComputerDeleteSB = nullptr;
    TAction* actAddressListImportSB = nullptr;
    TAction* actAddressListExportSB = nullptr;
    TAction* actAddressListFindSB = nullptr;

    // Pop-up menus: result rows, result header, address list, log.
    QMenu* pmMAcList = nullptr;
    QMenu* pmHeaderMacList = nullptr;
    QMenu* pmAddressList = nullptr;
    QMenu* pmLog = nullptr;
    // The "Copy" submenus of the Edit menu and of the row pop-up.
    QMenu* mnCopyMain = nullptr;
    QMenu* mnCopyPopUp = nullptr;

    // --- Bookmarks, Open as, vendor lookup, help and dialogs (uTolvexCommands) ----
    TAction* actBookmarkShowMenu = nullptr;
    TAction* actBookmarkManage = nullptr;
    TAction* actOpenAsWebServer = nullptr;
    TAction* actOpenAsSecureWebServer = nullptr;
    TAction* actOpenAsFTPServer = nullptr;
    TAction* actOpenAsFileServer = nullptr;
    TAction* actLookupMACaddress = nullptr;
    TAction* actPreferences = nullptr;
    TAction* actHelpOnline = nullptr;
    TAction* actHome = nullptr;
    TAction* actSupport = nullptr;
    TAction* actFeedback = nullptr;
    TAction* actCheckForUpdates = nullptr;
    TAction* actAbout = nullptr;
    QMenu* pmBookmark = nullptr;
    QMenu* mnHelp = nullptr;
    QMenu* mnOpenAs = nullptr;
    // Refills pmBookmark from lstBookmarks.
    void pmBookmarkPopup();
    // Start and stop of the range page from bookmark Index.
    void actBookmarkUseExecute(int Index);
    // The computer of the focused row when it is a selected computer row.
    TComputer* GetSelectedComputer() const;
    // Kind 0 web, 1 secure web, 2 FTP, 3 file server.
    void OpenSelectedAs(int Kind);
    bool CanOpenSelectedAs() const;

    // --- View settings and language menu (uTolvexView) ---------------------------
    TAction* actShowVerticalGrid = nullptr;
    TAction* actShowHorizontalGrid = nullptr;
    TAction* actShowStripedGrid = nullptr;
    TAction* actSelectColumns = nullptr;
    TAction* actShowRestoreOrder = nullptr;
    // File > Language: one radio item per language file.
    QMenu* mnChangeLang = nullptr;
    // Re-applies the current language file to every open window.
    void ApplyLanguage();

    // --- Tools menus (uTolvexTools) ------------------------------------------------
    // Every command item follows it: enabled only on a selected computer row.
    TAction* actTools = nullptr;
    QMenu* mnTools = nullptr;
    QMenu* mnMainNetTools = nullptr;
    QMenu* mnMainAdminTools = nullptr;
    QMenu* mnPopupNetTools = nullptr;
    QMenu* mnPopupAdminTools = nullptr;
    TCommandList* NetTools() const { return FNetTools.get(); }
    TCommandList* AdminTools() const { return FAdminTools.get(); }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;

private:
    // --- Creation, destruction, targets, scan control (uTolvex.cpp) ---------------
    void CreateActions();
    void CreateMenus();
    // The tool bar, once every command it shows exists.
    void CreateToolBar();
    void FormCreate();
    void FormDestroy();
    void FormShow();
    void cmbTargetSelect();
    void actTolvexUpdate(TAction& Action);
    void actTolvexStopExecute();
    void actTolvexStopUpdate(TAction& Action);
    void actSelectComputerExecute();
    void actRangeCExecute();
    void actRangeBExecute();
    void actRangeBUpdate(TAction& Action);
    void SpeedButton2Click();
    void spltTargetPaint(QWidget* Splitter);
    void pnlLogResize();
    void pnlCaptionLogResize();
    void actExitExecute();

    void SetLocalTarget();
    void SetRemoteTarget();
    void SetRangeTarget();
    void SetAddressListTarget();
    void SetADTarget();
    void SetExpressionTarget();
    void ShowErrorBox(const std::exception& E);
    // Asks for a file and hands it with the chosen filter to Command; what
    // Command raises is shown, so a failed file command is never silent.
    void RunFileCommand(
        const TFileDialogOptions& Options,
        const std::function<void(const std::string& FileName, int FilterIndex)>& Command);
    void DetectMyRange(bool Silent);
    void PoolStart();
    void PoolFinish();
    void ClearBeforeScan();
    void StartProgress();
    void UpdateStatusCounts();
    // Empties the elapsed time of the last scan unless one runs.
    void ClearElapsedTime();
    void StopProgress();
    void ApplyLogVisibility();
    void LoadMacComments();
    void SaveMacComments();

    // --- Result list and log list (uTolvexLists.cpp) --------------------------------
    // Sets up both lists (texts, images, events) and binds their actions.
    void InitResultLists();
    void AddComputerToList(TComputer* Computer);
    void AddLogEntry(int Kind, const std::string& Text);
    void actClearListExecute();
    void actClearListUpdate(TAction& Action);
    void actCopyLineExecute();
    void actCopyLineUpdate(TAction& Action);
    void actCopyExecute();
    void actCopyUpdate(TAction& Action);
    void actCopyLogExecute();
    void actCopyLogUpdate(TAction& Action);
    void actShowLogExecute();
    void actShowLogUpdate(TAction& Action);
    void actHideLogExecute();
    void actShowFiltersExecute();
    void actHideFiltersExecute();
    void edFilterChange();
    void sbClearFiltersClick();
    void actEditCommentExecute();
    void actEditCommentUpdate(TAction& Action);
    void actFindInListExecute();
    void actFindInListUpdate(TAction& Action);
    std::string vstMacListGetText(TVirtualNode* Node, int Column);
    std::string vstLogGetText(TVirtualNode* Node, int Column);
    void ApplyFilter();
    void SortResultList();
    std::string GetMacComment(const std::string& MAC) const;
    std::string GetNodeMac(TVirtualNode* Node);
    void CopySelection(int FirstColumn, int LastColumn);
    void BuildCopyMenu(QMenu* ParentItem);
    // The actions and menu items of uTolvexCommands.
    void CreateCommands();
    void CopyColumnClick(int Column);
    // Stripes on every second visible row, after the option bStripped.
    void PaintStripe();

    // --- View settings and language menu (uTolvexView.cpp) -------------------------
    void CreateViewCommands();
    void actShowVerticalGridExecute();
    void actShowVerticalGridUpdate(TAction& Action);
    void actShowHorizontalGridExecute();
    void actShowHorizontalGridUpdate(TAction& Action);
    void actShowStripedGridExecute();
    void actShowStripedGridUpdate(TAction& Action);
    void actSelectColumnsExecute();
    void actShowRestoreOrderExecute();
    void ViewActionUpdate(TAction& Action);
    void ApplyGridOptions();
    void StoreGridOptions();
    void RestoreColumnOrder();
    void pmHeaderMacListPopup();
    void pmHeaderMacListAddHeaderPopupItem(int Column, QAction* Item);
    void BuildHeaderMenu();
    void BuildLanguageMenu();
    void LanguageClick(QAction* Sender);

    // --- Tools menus (uTolvexTools.cpp) ----------------------------------------------
    void CreateToolsCommands();
    void CreateToolLists();
    void SaveToolLists();
    void BuildNetToolsMenus();
    void BuildAdminToolsMenus();
    bool IsComputerSelected() const;
    void GetCurrentComputerForTool(std::string& Host, std::string& UserName, std::string& Password);
    void actToolsUpdate(TAction& Action);

    // --- Files and the address list (uTolvexFiles.cpp) ------------------------------
    // Sets up the address list (texts, images) and binds the file actions.
    void InitFileCommands();
    void actSaveFileExecute();
    void actSaveFileUpdate(TAction& Action);
    void actOpenFileExecute();
    void actExportExecute();
    void actExportUpdate(TAction& Action);
    void actAddressListComputerAddExecute();
    void actAddressListComputerEditExecute();
    void actAddressListComputerEditUpdate(TAction& Action);
    void actAddressListComputerDeleteExecute();
    void actAddressListComputerDeleteUpdate(TAction& Action);
    void ActAddressListDeleteAllExecute();
    void ActAddressListDeleteAllUpdate(TAction& Action);
    void actAddressListFindExecute();
    void actAddressListImportExecute();
    void actAddressListExportExecute();
    void actAddressListExportUpdate(TAction& Action);
    std::string vstAddressListGetText(TVirtualNode* Node, int Column);
    int vstAddressListGetImageIndex(TVirtualNode* Node, int Column);
    void SaveComputerList(const std::string& FileName);
    void LoadComputerList(const std::string& FileName);
    void AddAddressItem(const std::string& Text);
    void FillAddressList(const std::vector<std::string>& Strings);
    void StoreAddressList(std::vector<std::string>& Strings);
    void ImportAddressList(const std::string& FileName);
    void ExportAddressList(const std::string& FileName);

    std::unique_ptr<Ui::TfrmTolvex> ui;
    std::unique_ptr<TPoolOfThreads> FPool;
    std::unique_ptr<TCommandList> FNetTools;
    std::unique_ptr<TCommandList> FAdminTools;
    // The window's own texts, put back where a language set them before
    // the next language is applied.
    TFormTexts FOwnTexts;
    std::unique_ptr<TResultList> FResults;
    std::unique_ptr<TLogList> FLog;
    QPointer<QProgressBar> FProgressBar;
    QPointer<QTimer> FProgressTimer;
    double FStartTime = 0;
    QLabel* FStatusPanels[4] = {};
    QToolButton* sbHideLog = nullptr;
    bool FShown = false;
    // The comments file exists but could not be read: it is never replaced,
    // so what it holds is not lost to an empty list.
    bool FCommentsUnread = false;
};
