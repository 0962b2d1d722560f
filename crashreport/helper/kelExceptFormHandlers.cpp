#include "crashreport/helper/kelExceptFormHandlers.h"

#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/helper/kelNVBitmapQt.h"
#include "crashreport/helper/kelNVWidgets.h"
#include "crashreport/kelExceptTemp.h"

#include <QApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

TExceptMirror* MirrorOf(INVContext* Context)
{
    return dynamic_cast<TExceptMirror*>(Context);
}

// --- Contact form ------------------------------------------------------------------

const QString ContactGroup = QStringLiteral("ContactForm");
const QString NameKey = QStringLiteral("RememberName");
const QString EmailKey = QStringLiteral("RememberEmail");

void JudgeAddress(INVEdit& Email)
{
    const std::string Text = Email.Text();
    Email.SetValid(IsValidEmailAddress(Text));
    Email.SetOptional(Text.empty());
}

void ContactFormRead(INVForm& Form)
{
    QSettings Ini(NVText(ContactFormSettingsFile()), QSettings::IniFormat);
    Ini.beginGroup(ContactGroup);
    const std::string Name = Ini.value(NameKey).toString().toStdString();
    const std::string Email = Ini.value(EmailKey).toString().toStdString();
    if (INVEdit* Edit = Form.FindEdit("NameEdit"); Edit != nullptr && !Name.empty())
        Edit->SetText(Name);
    if (INVEdit* Edit = Form.FindEdit("EmailEdit"); Edit != nullptr && !Email.empty())
        Edit->SetText(Email);
    if (INVCheckBox* Check = Form.FindCheckBox("MemCheck");
        Check != nullptr && (!Name.empty() || !Email.empty()))
        Check->SetChecked(true);
}

void ContactFormContinue(INVForm& Form, TExceptMirror* Mirror)
{
    INVEdit* NameEdit = Form.FindEdit("NameEdit");
    INVEdit* EmailEdit = Form.FindEdit("EmailEdit");
    const INVCheckBox* Check = Form.FindCheckBox("MemCheck");
    {
        QSettings Ini(NVText(ContactFormSettingsFile()), QSettings::IniFormat);
        Ini.beginGroup(ContactGroup);
        if (Check != nullptr && Check->Checked()) {
            if (NameEdit != nullptr)
                Ini.setValue(NameKey, NVText(NameEdit->Text()));
            if (EmailEdit != nullptr)
                Ini.setValue(EmailKey, NVText(EmailEdit->Text()));
        } else {
            Ini.remove(NameKey);
            Ini.remove(EmailKey);
        }
        Ini.endGroup();
        Ini.sync();
        if (Ini.status() != QSettings::NoError)
            std::fprintf(stderr, "kelExcept: cannot write %s\n", ContactFormSettingsFile().c_str());
    }
    if (Mirror == nullptr || EmailEdit == nullptr || EmailEdit->Text().empty())
        return;
    const std::string Name = NameEdit != nullptr ? NameEdit->Text() : std::string();
    const std::string Address = EmailEdit->Text();
    Mirror->SetTextSetting("MailFrom", Name.empty() ? Address : Name + " <" + Address + ">");
}

// --- Screenshot form -----------------------------------------------------------------

// A file's modification time to the nanosecond and its size; a file saved
// again within the same second still looks different.
struct TFileStamp {
    bool Exists = false;
    long long Seconds = 0, Nanoseconds = 0, Size = 0;
    bool operator==(const TFileStamp&) const = default;
};

TFileStamp StampOf(const std::string& File)
{
    struct stat St {};
    if (::stat(File.c_str(), &St) != 0)
        return {};
    return {true, static_cast<long long>(St.st_mtim.tv_sec),
            static_cast<long long>(St.st_mtim.tv_nsec), static_cast<long long>(St.st_size)};
}

// The editor the picture was handed to: xdg-open, watched through a pidfd so
// that it is reaped as soon as it ends (it often ends at once, leaving the
// picture to the program it started).
class TEditorProcess {
public:
    TEditorProcess() = default;
    TEditorProcess(const TEditorProcess&) = delete;
    TEditorProcess& operator=(const TEditorProcess&) = delete;
    ~TEditorProcess() { Drop(); }

    bool Running() const { return Pid > 0; }

    // False when it cannot be started.
    bool Start(const std::string& File)
    {
        posix_spawn_file_actions_t Actions;
        posix_spawnattr_t Attributes;
        posix_spawn_file_actions_init(&Actions);
        // Nothing of the helper's own (the link to the program) goes along.
        posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
        posix_spawnattr_init(&Attributes);
        posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSID);
        char Program[] = "xdg-open";
        std::string Arg = File;
        char* Argv[] = {Program, Arg.data(), nullptr};
        pid_t Child = 0;
        const int Rc = posix_spawnp(&Child, Program, &Actions, &Attributes, Argv, environ);
        posix_spawn_file_actions_destroy(&Actions);
        posix_spawnattr_destroy(&Attributes);
        if (Rc != 0)
            return false;
        Pid = Child;
        PidFd = static_cast<int>(::syscall(SYS_pidfd_open, Child, 0));
        if (PidFd >= 0) {
            Notifier = std::make_unique<QSocketNotifier>(PidFd, QSocketNotifier::Read);
            QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(),
                             [this] { Reap(); });
        }
        return true;
    }

    // Reaps it when it has ended; an opener that failed beeps.
    void Reap()
    {
        if (Pid <= 0)
            return;
        int Status = 0;
        if (::waitpid(Pid, &Status, WNOHANG) != Pid)
            return;
        if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
            QApplication::beep();
        Forget();
    }

    // Lets it go; one still running is reaped when it ends.
    void Drop()
    {
        Reap();
        if (Pid > 0) {
            const pid_t Child = Pid;
            std::thread([Child] { ::waitpid(Child, nullptr, 0); }).detach();
        }
        Forget();
    }

private:
    void Forget()
    {
        // Reap may run inside the notifier's own signal.
        if (Notifier != nullptr) {
            Notifier->setEnabled(false);
            Notifier.release()->deleteLater();
        }
        if (PidFd >= 0)
            ::close(PidFd);
        PidFd = -1;
        Pid = 0;
    }

    pid_t Pid = 0;
    int PidFd = -1;
    std::unique_ptr<QSocketNotifier> Notifier;
};

// An edit of the screenshot under way; the form's tag points to it.
struct TEditSession {
    std::string File;
    TFileStamp Stamp;
    TEditorProcess Editor;
};

TEditSession* SessionOf(const INVForm& Form)
{
    return reinterpret_cast<TEditSession*>(Form.Tag());
}

void DropSession(INVForm& Form)
{
    std::unique_ptr<TEditSession> Session(SessionOf(Form));
    Form.SetTag(0);
    if (Session == nullptr)
        return;
    Session->Editor.Drop();
    ::unlink(Session->File.c_str());
}

void EditScreenShot(INVForm& Form, TExceptMirror& Mirror)
{
    TEditSession* Session = SessionOf(Form);
    if (Session == nullptr) {
        const std::string Folder = ExceptTempFolder();
        if (Folder.empty() || Mirror.ScreenShot() == nullptr ||
            !Mirror.ScreenShot()->SaveBmp(Folder + "/screenShot.bmp")) {
            QApplication::beep();
            return;
        }
        Session = new TEditSession;
        Session->File = Folder + "/screenShot.bmp";
        Session->Stamp = StampOf(Session->File);
        Form.SetTag(reinterpret_cast<std::uintptr_t>(Session));
    }
    Session->Editor.Reap();
    if (!Session->Editor.Running() && !Session->Editor.Start(Session->File))
        QApplication::beep();
}

void TakeEditedScreenShot(INVForm& Form, TExceptMirror& Mirror)
{
    TEditSession* Session = SessionOf(Form);
    if (Session == nullptr)
        return;
    const TFileStamp Now = StampOf(Session->File);
    if (Now == Session->Stamp)
        return;
    // A file that is no picture (yet, or at all) leaves the screenshot as it is.
    const auto Edited = NewNVBitmapFromFile(Session->File);
    if (Edited == nullptr || Edited->GetWidth() <= 0 || Edited->GetHeight() <= 0)
        return;
    Session->Stamp = Now;
    Mirror.SetScreenShot(Edited);
    if (INVImage* Image = Form.FindImage("ScrShotImg"))
        Image->SetBitmap(Edited);
}

} // namespace

void HandleContactForm(INVForm& Form, std::uint8_t Action, INVItem* Item, INVContext* Context)
{
    switch (Action) {
    case naFormRead:
        ContactFormRead(Form);
        break;
    case naItemEvent:
        if (Item != nullptr && Item == Form.FindEdit("EmailEdit"))
            JudgeAddress(*Form.FindEdit("EmailEdit"));
        break;
    case naFormClose:
        if (Form.ModalResult() == nmrNext)
            ContactFormContinue(Form, MirrorOf(Context));
        break;
    default:
        break;
    }
}

void HandleScreenshotForm(INVForm& Form, std::uint8_t Action, INVItem* Item, INVContext* Context)
{
    TExceptMirror* Mirror = MirrorOf(Context);
    if (Mirror == nullptr)
        return;
    INVImage* Image = Form.FindImage("ScrShotImg");
    INVCheckBox* Attach = Form.FindCheckBox("AttachCheck");
    switch (Action) {
    case naFormRead:
        if (Image != nullptr)
            Image->SetBitmap(Mirror->ScreenShot());
        if (Attach != nullptr)
            Attach->SetChecked(Mirror->AttachScreenShot());
        break;
    case naItemEvent:
        if (Item != nullptr && Item == Image) {
            if (Image->Bitmap() != nullptr)
                EditScreenShot(Form, *Mirror);
        } else {
            TakeEditedScreenShot(Form, *Mirror);
        }
        break;
    case naFormClose:
        DropSession(Form);
        if (Attach != nullptr)
            Mirror->SetAttachScreenShot(Attach->Checked());
        break;
    default:
        break;
    }
}

void InstallFormHandlers()
{
    SetBuiltInFormHandlers(HandleContactForm, HandleScreenshotForm);
}

bool IsValidEmailAddress(std::string_view Text)
{
    const QString S = NVText(Text);
    if (S.isEmpty() || S.front().isSpace() || S.back().isSpace())
        return false;
    const qsizetype At = S.lastIndexOf(u'@');
    if (At < 1 || S.indexOf(u'.', At + 1) < 0)
        return false;
    if (S.startsWith(u'.') || S.endsWith(u'.') || S[At + 1] == u'.')
        return false;
    QString Left;
    for (const char32_t C : S.toUcs4())
        if (!(QChar::isLetter(C) || QChar::isDigit(C) || C == U'\'' || C == U'+' || C == U'-' ||
              C == U'_' || C == U'.'))
            Left += QString::fromUcs4(&C, 1);
    return Left == QStringLiteral("@");
}

std::string ContactFormSettingsFile()
{
    const char* Config = std::getenv("XDG_CONFIG_HOME");
    std::string Folder;
    if (Config != nullptr && Config[0] == '/') {
        Folder = Config;
        while (Folder.size() > 1 && Folder.back() == '/')
            Folder.pop_back();
    } else {
        const char* Home = std::getenv("HOME");
        Folder = std::string(Home != nullptr ? Home : "") + "/.config";
    }
    return Folder + "/tolvex/crashreport.ini";
}
