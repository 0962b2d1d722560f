// User command lists ("Nettools", "Admintools"): the commands of the tools
// menus, kept in "tools.xml", the menus they build, and how a command runs on
// the selected computer (uCommandRun does the running).
//
// "tools.xml", inside the store's root element:
//   <CommandList>                 one child per list
//     <Nettools>                  the list's Name; one child per command
//       <CommandListItem>         six children, in this order:
//         <Name/> <Operation/> <FileName/> <Parameters/> <Directory/> <ShowCmd/>
// Texts are HTML-encoded (then XML-escaped by the store); ShowCmd is decimal.
//
// Reading: a command that cannot be read (an entity that does not decode,
// child elements where a text belongs) is skipped and counted; the others
// are still read. A list takes at most MaxCommandListItems commands; those
// after them are left out. A list whose file was not read whole (unreadable
// file, a skipped or left-out command) never writes over that file:
// SaveToFile leaves it byte for byte as it is. LoadReport() gives the one
// message the caller shows.
#pragma once

#include "settings/uXMLStorage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QAction;
class QMenu;
class QObject;

// Reserved file names: the built-in operations.
inline constexpr const char* CommandShutdown = "%shutdown%";
inline constexpr const char* CommandSendMessage = "%send_message%";
// The tools file of the settings folder.
inline constexpr const char* ToolsFileName = "tools.xml";
// The section that holds the lists.
inline constexpr const char* CommandListSection = "CommandList";
// The most commands a list takes from the file, and the largest tools file
// read: a thousand commands of a kilobyte each.
inline constexpr int MaxCommandListItems = 1000;
inline constexpr std::size_t MaxToolsFileSize = std::size_t{1} << 20;

class TCommandListItem {
public:
    std::int32_t ShowCmd = 1; // kept in the file; no meaning on Linux
    std::string Parameters;
    std::string Directory;
    std::string Name;
    std::string Operation;
    std::string FileName;

    virtual ~TCommandListItem() = default;
    // Copies all six fields.
    virtual void Assign(const TCommandListItem& Source);

    void SetShowCmd(std::int32_t Value) { ShowCmd = Value; }
    void SetParameters(const std::string& Value) { Parameters = Value; }
    void SetDirectory(const std::string& Value) { Directory = Value; }
    void SetName(const std::string& Value) { Name = Value; }
    void SetOperation(const std::string& Value) { Operation = Value; }
    void SetFileName(const std::string& Value) { FileName = Value; }
};

class TCommandList;

// The owner supplies the computer a command is for: true when it has one (a
// selected computer), whose address Host is, empty when that computer has
// none; false when there is no computer (Host stays empty).
using TGetComputerEvent = std::function<bool(TCommandList& Sender, std::string& Host,
                                             std::string& UserName, std::string& Password)>;
using TCommandListNotifyEvent = std::function<void(TCommandList& Sender)>;

class TCommandList {
public:
    explicit TCommandList(const std::string& AName);
    ~TCommandList();
    TCommandList(const TCommandList&) = delete;
    TCommandList& operator=(const TCommandList&) = delete;

    std::string Name;
    TGetComputerEvent OnGetComputer;
    TCommandListNotifyEvent OnChange;

    int Count() const { return static_cast<int>(FItems.size()); }
    // Null when Index is out of range.
    TCommandListItem* Items(int Index) const;
    // A new empty item at the end.
    TCommandListItem* Add();
    // The new item, or null (and nothing added) when Name, Operation or
    // FileName is empty.
    TCommandListItem* AddItem(const std::string& Name, const std::string& Operation,
                              std::int32_t ShowCmd, const std::string& Directory,
                              const std::string& Parameters, const std::string& FileName);
    void Delete(int Index);
    // Swaps two items (the manager's Up and Down).
    void Exchange(int Index1, int Index2);
    void Clear();
    // Copies every command of Source (this list is emptied first); the name,
    // events and load status stay.
    void Assign(const TCommandList& Source);
    bool SameAs(const TCommandList& Other) const;

    // Adds the commands stored under this list's Name in FileName; the list
    // is not emptied first. True when the file was read whole. Otherwise the
    // commands read are kept, LoadReport() says what was lost (the caller
    // shows it once), and SaveToFile will not write over that file.
    bool LoadFromFile(const std::string& FileName);
    // Writes this list into FileName, keeping the file's other lists. False
    // when nothing was written: the file was not read whole by the last
    // LoadFromFile of this list, or the store could not read or write it.
    // An unchanged list (Modified clear) writes nothing and gives true.
    bool SaveToFile(const std::string& FileName);

    // The last LoadFromFile read its file whole.
    bool ReadWhole() const { return FReadWhole; }
    // Commands the last LoadFromFile had to skip.
    int SkippedItems() const { return FSkippedItems; }
    // Empty unless the last LoadFromFile skipped commands or left some out;
    // then one translated message (sCommandListPartlyRead: how many, the
    // list, the file; sCommandListTooLong: the list, the file, the limit, how
    // many) for the caller to show once (log line or message box). A file
    // that cannot be read at all is reported by the store itself, as every
    // settings file is (ReadWhole() false, LoadReport() empty).
    const std::string& LoadReport() const { return FLoadReport; }

    // Set by every change through this class; cleared by LoadFromFile and a
    // successful SaveToFile.
    bool Modified = false;

    // Fills ParentItem (nothing when null): its title := Translate(Name)
    // with "&" doubled; its items removed; one item per command (text
    // Translate(command Name), "&" doubled; data() = the index, the "tag";
    // enabled exactly when Action is, following it; triggered → ItemClick);
    // a separator; "Managetools" (data() = -1, no action, always enabled;
    // triggered → ManageClick).
    void BuildMenu(QMenu* ParentItem, QAction* Action);
    // Sender: a menu item made by BuildMenu; its data() is the index.
    void ItemClick(QObject* Sender);
    // The same by index; an index that is no item does nothing.
    void RunItem(int Index);
    // ManageCommandList(*this), then OnChange(*this) when set.
    void ManageClick(QObject* Sender = nullptr);
    void SetOnChange(TCommandListNotifyEvent Value) { OnChange = std::move(Value); }

private:
    std::vector<std::unique_ptr<TCommandListItem>> FItems;
    // Files this list read only in part: never written over.
    std::vector<std::string> FPartlyRead;
    bool FReadWhole = true;
    int FSkippedItems = 0;
    std::string FLoadReport;
    // Cleared by the destructor: what the menu items built by this list
    // reach it through.
    std::shared_ptr<TCommandList*> FAlive;
};

class TCommandListXMLStorage : public TXMLStorage {
public:
    // A tools file larger than MaxToolsFileSize is refused as too large, as
    // any settings file beyond its size is: the window must not wait for it.
    explicit TCommandListXMLStorage(std::string AFileName) : TXMLStorage(std::move(AFileName))
    {
        MaxFileSize = MaxToolsFileSize;
    }
    // Appends the commands under Section/Key to List. A command that cannot
    // be read is skipped and counted in SkippedItems; the later ones are
    // still read. A missing ShowCmd, or one that is no number, gives 1. Once
    // List holds MaxCommandListItems, the rest are only counted, in
    // BeyondLimit.
    void LoadCommandList(const std::string& Section, const std::string& Key, TCommandList& List);
    // Replaces the commands under Section/Key by List's; the rest of the
    // document stays.
    void SaveCommandList(const std::string& Section, const std::string& Key,
                         const TCommandList& List);

    int SkippedItems = 0;
    int BeyondLimit = 0;
};

// A caption made at run time for a menu item or window title: every "&"
// doubled, so Qt shows it instead of taking it as an accelerator mark.
std::string EscapeMenuCaption(const std::string& Caption);
