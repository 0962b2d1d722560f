#include "admin/uCommandList.h"

#include "admin/uCommandRun.h"
#include "admin/uDlgCommandListManage.h"
#include "admin/uDlgSendMessage.h"
#include "admin/udlgComputerShutdown.h"
#include "engine/uFormat.h"
#include "forms/QtStrings.h"
#include "settings/HTMLUtil.h"
#include "settings/Language.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include <algorithm>
#include <charconv>

void TCommandListItem::Assign(const TCommandListItem& Source)
{
    ShowCmd = Source.ShowCmd;
    Parameters = Source.Parameters;
    Directory = Source.Directory;
    Name = Source.Name;
    Operation = Source.Operation;
    FileName = Source.FileName;
}

namespace {

bool SameItem(const TCommandListItem& A, const TCommandListItem& B)
{
    return A.ShowCmd == B.ShowCmd && A.Parameters == B.Parameters && A.Directory == B.Directory &&
           A.Name == B.Name && A.Operation == B.Operation && A.FileName == B.FileName;
}

} // namespace

TCommandList::TCommandList(const std::string& AName)
    : Name(AName), FAlive(std::make_shared<TCommandList*>(this))
{
}

TCommandList::~TCommandList()
{
    // Menu items built by this list may outlive it: their clicks then do
    // nothing.
    *FAlive = nullptr;
}

TCommandListItem* TCommandList::Items(int Index) const
{
    if (Index < 0 || Index >= Count())
        return nullptr;
    return FItems[static_cast<size_t>(Index)].get();
}

TCommandListItem* TCommandList::Add()
{
    FItems.push_back(std::make_unique<TCommandListItem>());
    Modified = true;
    return FItems.back().get();
}

TCommandListItem* TCommandList::AddItem(const std::string& AName, const std::string& Operation,
                                        std::int32_t ShowCmd, const std::string& Directory,
                                        const std::string& Parameters, const std::string& FileName)
{
    if (AName.empty() || Operation.empty() || FileName.empty())
        return nullptr;
    TCommandListItem* Item = Add();
    Item->Name = AName;
    Item->Operation = Operation;
    Item->ShowCmd = ShowCmd;
    Item->Directory = Directory;
    Item->Parameters = Parameters;
    Item->FileName = FileName;
    return Item;
}

void TCommandList::Delete(int Index)
{
    if (Index < 0 || Index >= Count())
        return;
    FItems.erase(FItems.begin() + Index);
    Modified = true;
}

void TCommandList::Exchange(int Index1, int Index2)
{
    if (Index1 < 0 || Index1 >= Count() || Index2 < 0 || Index2 >= Count() || Index1 == Index2)
        return;
    std::swap(FItems[static_cast<size_t>(Index1)], FItems[static_cast<size_t>(Index2)]);
    Modified = true;
}

void TCommandList::Clear()
{
    if (!FItems.empty())
        Modified = true;
    FItems.clear();
}

bool TCommandList::SameAs(const TCommandList& Other) const
{
    if (Count() != Other.Count())
        return false;
    for (int I = 0; I < Count(); ++I)
        if (!SameItem(*Items(I), *Other.Items(I)))
            return false;
    return true;
}

void TCommandList::Assign(const TCommandList& Source)
{
    if (&Source == this)
        return;
    const bool Changed = !SameAs(Source);
    FItems.clear();
    for (int I = 0; I < Source.Count(); ++I) {
        FItems.push_back(std::make_unique<TCommandListItem>());
        FItems.back()->Assign(*Source.Items(I));
    }
    if (Changed)
        Modified = true;
}

bool TCommandList::LoadFromFile(const std::string& FileName)
{
    TCommandListXMLStorage Storage(FileName);
    Storage.Load();
    Storage.LoadCommandList(CommandListSection, Name, *this);
    Modified = false;
    FSkippedItems = Storage.SkippedItems;
    FReadWhole = !Storage.LoadFailed() && FSkippedItems == 0 && Storage.BeyondLimit == 0;
    FPartlyRead.erase(std::remove(FPartlyRead.begin(), FPartlyRead.end(), FileName),
                      FPartlyRead.end());
    if (!FReadWhole)
        FPartlyRead.push_back(FileName);
    FLoadReport.clear();
    if (FSkippedItems > 0) {
        static constexpr std::string_view BuiltIn =
            "%d command(s) of the list \"%s\" in the file %s could not be read. The file is left "
            "as it is.";
        std::string Text = Translate("sCommandListPartlyRead");
        if (Text == "sCommandListPartlyRead")
            Text = BuiltIn; // no language at all: not the bare key
        FLoadReport = FormatChecked(Text, BuiltIn, {FSkippedItems, Name, FileName});
    }
    if (Storage.BeyondLimit > 0) {
        static constexpr std::string_view BuiltIn =
            "The list \"%s\" in the file %s holds more commands than the %d a list can have; the "
            "%d after them are left out. The file is left as it is.";
        std::string Text = Translate("sCommandListTooLong");
        if (Text == "sCommandListTooLong")
            Text = BuiltIn;
        FLoadReport += (FLoadReport.empty() ? "" : "\n") +
                       FormatChecked(Text, BuiltIn,
                                     {Name, FileName, MaxCommandListItems, Storage.BeyondLimit});
    }
    return FReadWhole;
}

bool TCommandList::SaveToFile(const std::string& FileName)
{
    if (std::find(FPartlyRead.begin(), FPartlyRead.end(), FileName) != FPartlyRead.end())
        return false;
    if (!Modified)
        return true;
    TCommandListXMLStorage Storage(FileName);
    Storage.Load();
    if (Storage.LoadFailed())
        return false;
    Storage.SaveCommandList(CommandListSection, Name, *this);
    if (!Storage.Save())
        return false;
    Modified = false;
    return true;
}

std::string EscapeMenuCaption(const std::string& Caption)
{
    std::string Result;
    Result.reserve(Caption.size() + 4);
    for (const char C : Caption) {
        if (C == '&')
            Result += "&&";
        else if (C == '\t')
            Result += ' '; // a tab would start the shortcut column
        else
            Result += C;
    }
    return Result;
}

void TCommandList::BuildMenu(QMenu* ParentItem, QAction* Action)
{
    if (!ParentItem)
        return;
    ParentItem->setTitle(ToQ(EscapeMenuCaption(Translate(Name))));
    ParentItem->clear();
    const std::weak_ptr<TCommandList*> Alive = FAlive;
    for (int I = 0; I < Count(); ++I) {
        QAction* Item = ParentItem->addAction(ToQ(EscapeMenuCaption(Translate(Items(I)->Name))));
        Item->setData(I); // the item's tag
        if (Action) {
            // Enabled exactly when the action is, now and whenever it changes.
            Item->setEnabled(Action->isEnabled());
            QObject::connect(Action, &QAction::changed, Item,
                             [Item, A = QPointer<QAction>(Action)] {
                                 if (A)
                                     Item->setEnabled(A->isEnabled());
                             });
        }
        QObject::connect(Item, &QAction::triggered, Item, [Alive, Item] {
            if (auto L = Alive.lock(); L && *L)
                (*L)->ItemClick(Item);
        });
    }
    ParentItem->addSeparator();
    QAction* Manage = ParentItem->addAction(ToQ(EscapeMenuCaption(Translate("Managetools"))));
    Manage->setData(-1);
    QObject::connect(Manage, &QAction::triggered, Manage, [Alive, Manage] {
        if (auto L = Alive.lock(); L && *L)
            (*L)->ManageClick(Manage);
    });
}

void TCommandList::ItemClick(QObject* Sender)
{
    const auto* Item = qobject_cast<const QAction*>(Sender);
    if (!Item)
        return;
    bool Ok = false;
    const int Index = Item->data().toInt(&Ok);
    if (Ok)
        RunItem(Index);
}

void TCommandList::RunItem(int Index)
{
    const TCommandListItem* Found = Items(Index);
    if (!Found)
        return;
    // A copy: the owner's handler or a dialog may change the list.
    TCommandListItem Command;
    Command.Assign(*Found);
    std::string Host, UserName, Password;
    const bool Chosen = OnGetComputer && OnGetComputer(*this, Host, UserName, Password);
    // A computer without an address is not "no computer": nothing may turn
    // to this computer in its place, as an empty host would.
    if (Chosen && Host.empty()) {
        ReportComputerWithoutAddress(Command);
        return;
    }
    if (Command.FileName == CommandShutdown)
        ShowComputerShutdownDialog(Host, UserName, Password, 0);
    else if (Command.FileName == CommandSendMessage)
        ShowSendMessageDialog(Host, -1);
    else
        RunCommand(Command, Host);
}

void TCommandList::ManageClick(QObject*)
{
    ManageCommandList(*this);
    if (OnChange)
        OnChange(*this);
}

// --- The tools file ----------------------------------------------------------------

namespace {

// The text of Element (empty when it is missing), decoded strictly: an
// entity that does not decode, or child elements where a text belongs,
// raise, and the command is not read.
std::string StrictValue(pugi::xml_node Parent, const char* Name)
{
    pugi::xml_node Element;
    for (pugi::xml_node N = Parent.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element && std::string_view(N.name()) == Name) {
            Element = N;
            break;
        }
    if (!Element)
        return std::string();
    std::string Text;
    for (pugi::xml_node N = Element.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_element)
            throw EConvertError("element holds elements");
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata)
            Text += N.value();
    }
    return HTMLDecode(Text);
}

std::int32_t ParseShowCmd(const std::string& Text)
{
    std::int32_t Value = 1;
    const char* B = Text.data();
    const char* E = B + Text.size();
    auto [P, Ec] = std::from_chars(B, E, Value);
    if (Text.empty() || Ec != std::errc() || P != E)
        return 1;
    return Value;
}

} // namespace

void TCommandListXMLStorage::LoadCommandList(const std::string& Section, const std::string& Key,
                                             TCommandList& List)
{
    // One command that cannot be read must not cost the ones after it.
    int Rejected = 0;
    BeyondLimit = 0;
    const int Unreadable = ReadListElements(Section, Key, [&](pugi::xml_node N) {
        // Menus of hundreds of thousands of items would take the window
        // minutes and gigabytes to build, and nobody could pick from them.
        if (List.Count() >= MaxCommandListItems) {
            ++BeyondLimit;
            return;
        }
        const std::string Name = StrictValue(N, "Name");
        const std::string Operation = StrictValue(N, "Operation");
        const std::string File = StrictValue(N, "FileName");
        const std::string Parameters = StrictValue(N, "Parameters");
        const std::string Directory = StrictValue(N, "Directory");
        const std::int32_t ShowCmd = ParseShowCmd(StrictValue(N, "ShowCmd"));
        // One without name, operation or file name is not taken either;
        // it is still in the file, which is then not written over.
        if (!List.AddItem(Name, Operation, ShowCmd, Directory, Parameters, File))
            ++Rejected;
    });
    SkippedItems = Unreadable + Rejected;
}

void TCommandListXMLStorage::SaveCommandList(const std::string& Section, const std::string& Key,
                                             const TCommandList& List)
{
    pugi::xml_node K = ClearedListElement(Section, Key);
    if (!K)
        return;
    for (int I = 0; I < List.Count(); ++I) {
        const TCommandListItem& C = *List.Items(I);
        pugi::xml_node Item = K.append_child("CommandListItem");
        SetElementValue(Item.append_child("Name"), C.Name);
        SetElementValue(Item.append_child("Operation"), C.Operation);
        SetElementValue(Item.append_child("FileName"), C.FileName);
        SetElementValue(Item.append_child("Parameters"), C.Parameters);
        SetElementValue(Item.append_child("Directory"), C.Directory);
        SetElementValue(Item.append_child("ShowCmd"), std::to_string(C.ShowCmd));
    }
}
