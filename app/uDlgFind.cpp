#include "app/uDlgFind.h"

#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/uProgramOptions.h"

#include "ui_uDlgFind.h"

#include <QLineEdit>

#include <algorithm>

TdlgFind::TdlgFind(TVirtualStringTree& Tree, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgFind>()), FTree(Tree),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactFind = FActions->Add(
        "actFind", tr("Find"), [this] { Find(); },
        [this](TAction& A) {
            A.setEnabled(!ui->cmbFind->currentText().isEmpty() && FTree.RootNodeCount() > 0);
        });
    BindButton(ui->btnFind, FactFind);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    // The edit's Return goes to the Find button, not to closing the dialog.
    ui->btnFind->setAutoDefault(true);
    FillHistory();
    if (ui->cmbFind->count() > 0)
        ui->cmbFind->setCurrentIndex(0);
    FActions->UpdateActions();
}

TdlgFind::~TdlgFind() = default;

void TdlgFind::FillHistory()
{
    const QSignalBlocker Block(ui->cmbFind);
    ui->cmbFind->clear();
    for (const auto& S : lstFind)
        ui->cmbFind->addItem(ToQ(S));
}

void TdlgFind::Find()
{
    FTree.ClearSelection();
    const QString T = ui->cmbFind->currentText();
    TVirtualNode* Node = FMatch ? FTree.GetNext(FMatch) : FTree.GetFirst();
    FMatch = nullptr;
    for (; Node; Node = FTree.GetNext(Node)) {
        // A row the filter hides cannot be shown to the user as the match.
        bool Hidden = false;
        for (TVirtualNode* N = Node; N && !Hidden; N = N->Parent)
            Hidden = FTree.IsFiltered(N);
        if (Hidden)
            continue;
        bool Found = false;
        for (int C = 0; C < FTree.ColumnCount() && !Found; ++C)
            Found = ToQ(FTree.Text(Node, C)).contains(T, Qt::CaseInsensitive);
        if (Found) {
            FTree.SetSelected(Node, true);
            FTree.SetFocusedNode(Node);
            FTree.ScrollIntoView(Node, true);
            FMatch = Node;
            break;
        }
    }
    if (!T.isEmpty()) {
        AddFindHistory(FromQ(T));
        FillHistory();
        // The searched text stays in the edit for the next press.
        ui->cmbFind->setCurrentIndex(0);
    }
}

void AddFindHistory(const std::string& Text)
{
    const QString T = ToQ(Text);
    std::erase_if(lstFind, [&T](const std::string& S) {
        return ToQ(S).compare(T, Qt::CaseInsensitive) == 0;
    });
    lstFind.insert(lstFind.begin(), Text);
    if (lstFind.size() > MaxFindHistory)
        lstFind.resize(MaxFindHistory);
}

void ShowFindDialog(TVirtualStringTree& Tree)
{
    TdlgFind Dlg(Tree, Tree.window());
    TranslateForm(&Dlg);
    ShowModal(Dlg);
}
