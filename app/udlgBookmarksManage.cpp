#include "app/udlgBookmarksManage.h"

#include "app/uDlgIPRangeEdit.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"

#include "ui_udlgBookmarksManage.h"

#include <QHeaderView>
#include <QStyle>

namespace {

const char BookmarkDelimiter = '-';

bool IsBlank(char C)
{
    return C >= 1 && C <= ' ';
}

} // namespace

std::string MakeBookmark(const std::string& StartIP, const std::string& StopIP)
{
    return StartIP + BookmarkDelimiter + StopIP;
}

std::vector<std::string> SplitBookmarkItems(const std::string& Text)
{
    std::vector<std::string> Items;
    // The text ends at its first NUL, as the stored string would.
    const std::string T = Text.substr(0, Text.find('\0'));
    size_t P = 0;
    const size_t N = T.size();
    while (P < N && IsBlank(T[P]))
        ++P;
    while (P < N) {
        std::string Item;
        if (T[P] == '"') {
            ++P;
            while (P < N) {
                if (T[P] == '"') {
                    if (P + 1 < N && T[P + 1] == '"') {
                        Item += '"';
                        P += 2;
                        continue;
                    }
                    ++P;
                    break;
                }
                Item += T[P++];
            }
        } else {
            const size_t Start = P;
            while (P<N&& static_cast<unsigned char>(T[P])> ' ' && T[P] != BookmarkDelimiter)
                ++P;
            Item = T.substr(Start, P - Start);
        }
        Items.push_back(Item);
        while (P < N && IsBlank(T[P]))
            ++P;
        if (P < N && T[P] == BookmarkDelimiter) {
            if (P + 1 == N)
                Items.emplace_back(); // a trailing delimiter leaves an empty last item
            do
                ++P;
            while (P < N && IsBlank(T[P]));
        }
    }
    return Items;
}

void SplitBookmark(const std::string& Text, std::string& StartIP, std::string& StopIP)
{
    const std::vector<std::string> Items = SplitBookmarkItems(Text);
    if (Items.size() >= 2) {
        StartIP = Items[0];
        StopIP = Items[1];
    }
}

std::string GetBookmarkCaption(const std::string& Text)
{
    return Text;
}

TdlgBookmarksManage::TdlgBookmarksManage(QWidget* Owner, const std::vector<std::string>& Bookmarks)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgBookmarksManage>()),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    TVirtualStringTree* Tree = ui->vtBookmarks;
    Tree->ResetColumns(1);
    Tree->setHeaderHidden(true);
    // The one column takes the list's width; at its own default width only
    // the icons would show.
    Tree->header()->setStretchLastSection(true);
    Tree->setRootIsDecorated(false);
    Tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Tree->SetImages({style()->standardIcon(QStyle::SP_DirIcon)});
    Tree->OnGetText = [Tree](TVirtualNode* Node, int) {
        const std::string* S = Tree->NodeData<std::string>(Node);
        return S ? *S : std::string();
    };
    Tree->OnGetImageIndex = [](TVirtualNode*, int) { return 0; };
    for (const std::string& B : Bookmarks)
        Tree->AddChild(nullptr, B);

    const auto HasRows = [Tree](TAction& A) { A.setEnabled(Tree->RootNodeCount() > 0); };
    BindButton(ui->btnAdd, FActions->Add("actAdd", tr("Add"), [this, Tree] {
        std::string Start, Stop;
        if (EditIPRange(Start, Stop))
            Tree->SetFocusedNode(Tree->AddChild(nullptr, MakeBookmark(Start, Stop)));
    }));
    TAction* Edit = FActions->Add(
        "actEdit", tr("Edit"),
        [Tree] {
            TVirtualNode* Node = Tree->FocusedNode();
            std::string* Text = Tree->NodeData<std::string>(Node);
            if (!Text)
                return;
            std::string Start, Stop;
            SplitBookmark(*Text, Start, Stop);
            if (EditIPRange(Start, Stop)) {
                *Text = MakeBookmark(Start, Stop);
                Tree->InvalidateNode(Node);
            }
        },
        HasRows);
    BindButton(ui->btnEdit, Edit);
    connect(Tree, &QAbstractItemView::doubleClicked, Edit, [Edit] { Edit->Execute(); });
    BindButton(ui->btnDelete, FActions->Add(
                                  "actDelete", tr("Delete"),
                                  [Tree] {
                                      for (TVirtualNode* Node : Tree->SelectedNodes())
                                          Tree->DeleteNode(Node);
                                  },
                                  HasRows));
    BindButton(ui->btnUp, FActions->Add(
                              "actUp", tr("Move up"), [this] { Move(-1); },
                              [Tree](TAction& A) {
                                  TVirtualNode* Node = Tree->FocusedNode();
                                  A.setEnabled(Node && Node->Row() > 0);
                              }));
    BindButton(ui->btnDown, FActions->Add(
                                "actDown", tr("Move down"), [this] { Move(1); },
                                [Tree](TAction& A) {
                                    TVirtualNode* Node = Tree->FocusedNode();
                                    A.setEnabled(Node && Node->Row() + 1 < Tree->RootNodeCount());
                                }));
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    FActions->UpdateActions();
}

TdlgBookmarksManage::~TdlgBookmarksManage() = default;

TAction* TdlgBookmarksManage::Action(const char* Name) const
{
    return static_cast<TAction*>(FActions->Find(Name));
}

// The focused row changes places with its neighbour; focus and selection go
// with it.
void TdlgBookmarksManage::Move(int Delta)
{
    TVirtualStringTree* Tree = ui->vtBookmarks;
    TVirtualNode* Node = Tree->FocusedNode();
    if (!Node)
        return;
    const int To = Node->Row() + Delta;
    if (To < 0 || To >= Tree->RootNodeCount())
        return;
    TVirtualNode* Other = Tree->Child(nullptr, To);
    std::swap(Node->Data, Other->Data);
    const bool WasSelected = Tree->Selected(Node);
    Tree->SetSelected(Node, Tree->Selected(Other));
    Tree->SetSelected(Other, WasSelected);
    Tree->InvalidateNode(Node);
    Tree->InvalidateNode(Other);
    Tree->SetFocusedNode(Other);
    FActions->UpdateActions();
}

std::vector<std::string> TdlgBookmarksManage::Rows() const
{
    std::vector<std::string> List;
    TVirtualStringTree* Tree = ui->vtBookmarks;
    for (int I = 0; I < Tree->RootNodeCount(); ++I)
        if (const std::string* S = Tree->NodeData<std::string>(Tree->Child(nullptr, I)))
            List.push_back(*S);
    return List;
}

bool ManageBookmarks(std::vector<std::string>& Bookmarks)
{
    TdlgBookmarksManage Dlg(DialogOwner(), Bookmarks);
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) != mrOk)
        return false;
    Bookmarks = Dlg.Rows();
    return true;
}
