#include "app/uDlgAbout.h"

#include "app/uProgramIcon.h"
#include "app/uWebSite.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"

#include "ui_uDlgAbout.h"

#include <QDate>
#include <QLocale>
#include <QMouseEvent>

std::string AboutVersionText()
{
    std::string Text =
        FormatChecked(Translate("Version %s"), "Version %s", {GetFileVersionShort()});
    const std::string Flags = GetBuildFlagsText();
    if (!Flags.empty())
        Text += " " + Flags;
    const QDate Built = QDate::fromString(ToQ(GetBuildDate()), Qt::ISODate);
    if (Built.isValid())
        Text += " " + FormatChecked(Translate("Built on: %s"), "Built on: %s",
                                    {FromQ(QLocale().toString(Built, QLocale::ShortFormat))});
    return Text;
}

TAboutBox::TAboutBox(QWidget* Owner) : QDialog(Owner), ui(std::make_unique<Ui::TAboutBox>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    ui->imgIcon->setPixmap(ProgramIconPixmap(48));
    QPalette Link = ui->lHome->palette();
    Link.setColor(QPalette::WindowText, palette().color(QPalette::Link));
    ui->lHome->setPalette(Link);
    ui->lblVersion->setText(ToQ(AboutVersionText()));
    ui->lblCopyRight->setText(ToQ(GetLegalCopyright()));
    ui->lHome->installEventFilter(this);
    ui->imgIcon->installEventFilter(this);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

TAboutBox::~TAboutBox() = default;

std::string TAboutBox::HomePath()
{
    return "/action/home/" + ProductQuery();
}

bool TAboutBox::eventFilter(QObject* Watched, QEvent* Event)
{
    if ((Watched == ui->lHome || Watched == ui->imgIcon) &&
        Event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
        OpenMakerPage(HomePath());
        return true;
    }
    return QDialog::eventFilter(Watched, Event);
}

void ShowAboutBox()
{
    TAboutBox Box(DialogOwner());
    TranslateForm(&Box);
    Box.setWindowTitle(ToQ(FormatChecked(Translate("About %s"), "About %s", {GetProductName()})));
    Box.findChild<QLabel*>("lHome")->setText(ToQ(FormatChecked(
        Translate("Visit %s for updates"), "Visit %s for updates", {GetFileCompanyName("")})));
    Box.findChild<QLabel*>("lblName")->setText(ToQ(GetProductName()));
    ShowModal(Box);
}
