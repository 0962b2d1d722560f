// The main window's file commands and the address list.
#include "uTolvex.h"

#include "Forms.h"
#include "VirtualTrees.h"

#include "ui_uTolvex.h"

#include <QHeaderView>

void TfrmTolvex::InitFileCommands()
{
    ui->vstAddressList->ResetColumns(1);
    ui->vstAddressList->header()->hide();
    ui->vstAddressList->OnGetText = [this](TVirtualNode* N, int C) {
        return vstAddressListGetText(N, C);
    };
}

std::string TfrmTolvex::vstAddressListGetText(TVirtualNode* Node, int)
{
    const std::string* Text = ui->vstAddressList->NodeData<std::string>(Node);
    return Text ? *Text : std::string();
}

void TfrmTolvex::AddAddressItem(const std::string& Text)
{
    ui->vstAddressList->AddChild(nullptr, Text);
}

void TfrmTolvex::FillAddressList(const std::vector<std::string>& Strings)
{
    ui->vstAddressList->Clear();
    for (const std::string& S : Strings)
        AddAddressItem(S);
}

void TfrmTolvex::StoreAddressList(std::vector<std::string>& Strings)
{
    Strings.clear();
    TVirtualStringTree& Tree = *ui->vstAddressList;
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N))
        if (!N->Parent || N->Parent->Parent == nullptr)
            Strings.push_back(vstAddressListGetText(N, 0));
}
