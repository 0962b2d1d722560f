#include "crashreport/kelExceptFields.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptSettings.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

IKEFieldsOwnerReport::~IKEFieldsOwnerReport() = default;
IKEFields::~IKEFields() = default;
IKEFieldsEx::~IKEFieldsEx() = default;
IKEAttachments::~IKEAttachments() = default;

namespace {

// Items of a "|"-separated text, as they are (an empty text has none).
std::vector<std::string> SplitItems(std::string_view Text, char Separator)
{
    std::vector<std::string> Items;
    for (int I = 1, N = SubStrCountA(Text, Separator); I <= N; ++I)
        Items.push_back(SubStrA(Text, I, Separator));
    return Items;
}

// The owner settings of a list, asked for under their own small lock so that
// detaching them never races with a change being written back.
class TOwnerSettings {
public:
    void Set(std::weak_ptr<IKESettings> AOwner)
    {
        std::lock_guard Guard(Lock);
        Owner = std::move(AOwner);
    }
    void Clear() { Set({}); }
    void WriteBack(TTextKey Key, const std::string& Text)
    {
        std::shared_ptr<IKESettings> S;
        {
            std::lock_guard Guard(Lock);
            S = Owner.lock();
        }
        if (S)
            S->SetTextSetting(Key, Text);
    }

private:
    std::mutex Lock;
    std::weak_ptr<IKESettings> Owner;
};

// ---------------------------------------------------------------------------

class TIKEFields final : public IKEFieldsEx {
public:
    void SetOwners(std::weak_ptr<IKEFieldsOwnerReport> AReport,
                   std::weak_ptr<IKESettings> ASettings)
    {
        {
            std::lock_guard Guard(OwnerLock);
            Report = std::move(AReport);
        }
        Settings.Set(std::move(ASettings));
    }

    void Lock() override
    {
        std::shared_ptr<IKEFieldsOwnerReport> R;
        {
            std::lock_guard Guard(OwnerLock);
            R = Report.lock();
        }
        if (R)
            R->LockReport();
        Mutex.lock();
        Held.push_back(std::move(R));
    }

    void Unlock() override
    {
        std::shared_ptr<IKEFieldsOwnerReport> R = std::move(Held.back());
        Held.pop_back();
        Mutex.unlock();
        if (R)
            R->UnlockReport();
    }

    int ItemCount() override
    {
        TGuard G(*this);
        return static_cast<int>(Items.size());
    }

    std::string GetName(int Index) override
    {
        TGuard G(*this);
        return Valid(Index) ? Items[Index].first : std::string();
    }

    void SetName(int Index, std::string_view Name) override
    {
        TGuard G(*this);
        if (!Valid(Index) || Items[Index].first == Name)
            return;
        Items[Index].first = Name;
        Changed();
    }

    int IndexOf(std::string_view Name) override
    {
        TGuard G(*this);
        return Find(Name);
    }

    std::string GetValue(std::string_view Name) override
    {
        TGuard G(*this);
        const int I = Find(Name);
        return I < 0 ? std::string() : Items[I].second;
    }

    void SetValue(std::string_view Name, std::string_view Value) override
    {
        TGuard G(*this);
        if (!ByNameAllowed)
            return;
        const int I = Find(Name);
        if (RetTrimA(Value).empty()) {
            if (I >= 0)
                Remove(I);
            return;
        }
        if (I < 0) {
            const auto At = InsertPos >= 1 && static_cast<std::size_t>(InsertPos) < Items.size()
                                ? Items.begin() + InsertPos
                                : Items.end();
            Items.emplace(At, std::string(Name), std::string(Value));
        } else if (Items[I].first != Name || Items[I].second != Value) {
            Items[I] = {std::string(Name), std::string(Value)};
        } else {
            return;
        }
        Changed();
    }

    void Insert(int Index, std::string_view Name, std::string_view Value) override
    {
        TGuard G(*this);
        Index = std::clamp(Index, 0, static_cast<int>(Items.size()));
        Items.emplace(Items.begin() + Index, std::string(Name), std::string(Value));
        Changed();
    }

    void Delete(int Index) override
    {
        TGuard G(*this);
        if (Valid(Index))
            Remove(Index);
    }

    bool DeleteByName(std::string_view Name) override
    {
        TGuard G(*this);
        const int I = Find(Name);
        if (I >= 0)
            Remove(I);
        return I >= 0;
    }

    std::shared_ptr<IKEFields> Clone() override
    {
        TGuard G(*this);
        auto Copy = std::make_shared<TIKEFields>();
        Copy->Items = Items;
        return Copy;
    }

    void ClearOwnerReport() override
    {
        std::lock_guard Guard(OwnerLock);
        Report.reset();
    }

    void ClearOwnerSettings() override { Settings.Clear(); }

    void SetInsertPos(int Index) override
    {
        TGuard G(*this);
        InsertPos = Index;
    }

    void AllowSettingByName(bool Allow) override
    {
        TGuard G(*this);
        ByNameAllowed = Allow;
    }

    // Fills the list from a settings text, before any owner is told.
    void AddText(std::string_view Text)
    {
        for (const auto& Item : SplitItems(Text, '|')) {
            const auto Eq = Item.find('=');
            SetValue(std::string_view(Item).substr(0, Eq),
                     Eq == std::string::npos ? std::string_view()
                                             : std::string_view(Item).substr(Eq + 1));
        }
    }

private:
    // Report lock, then the list's own: taken by every operation.
    class TGuard {
    public:
        explicit TGuard(TIKEFields& AF) : F(AF) { F.Lock(); }
        ~TGuard() { F.Unlock(); }
        TGuard(const TGuard&) = delete;
        TGuard& operator=(const TGuard&) = delete;

    private:
        TIKEFields& F;
    };

    // The helpers below run under the guard of the operation that calls them,
    // so that a report sees one lock and one change per operation.
    int Find(std::string_view Name) const
    {
        for (std::size_t I = 0; I < Items.size(); ++I)
            if (IsTextEqualA(Items[I].first, Name))
                return static_cast<int>(I);
        return -1;
    }

    void Remove(int Index)
    {
        Items.erase(Items.begin() + Index);
        if (InsertPos > Index)
            --InsertPos;
        Changed();
    }

    bool Valid(int Index) const
    {
        return Index >= 0 && static_cast<std::size_t>(Index) < Items.size();
    }

    // Tells the owners, still under both locks.
    void Changed()
    {
        std::string Text;
        for (const auto& [Name, Value] : Items)
            Text += (Text.empty() ? "" : "|") + Name + "=" + Value;
        Settings.WriteBack("AddFields", Text);
        if (!Held.empty() && Held.back())
            Held.back()->FieldsChanged();
    }

    std::mutex OwnerLock; // guards Report
    std::weak_ptr<IKEFieldsOwnerReport> Report;
    TOwnerSettings Settings;
    std::recursive_mutex Mutex;
    // The report each Lock took, released by the matching Unlock.
    std::vector<std::shared_ptr<IKEFieldsOwnerReport>> Held;
    std::vector<std::pair<std::string, std::string>> Items;
    int InsertPos = 0;
    bool ByNameAllowed = true;
};

// ---------------------------------------------------------------------------

class TIKEAttachments final : public IKEAttachments {
public:
    void SetOwner(std::weak_ptr<IKESettings> ASettings) { Settings.Set(std::move(ASettings)); }

    void Lock() override { Mutex.lock(); }
    void Unlock() override { Mutex.unlock(); }

    int ItemCount() override
    {
        std::lock_guard G(Mutex);
        return static_cast<int>(Items.size());
    }

    TAttachment GetItem(int Index) override
    {
        std::lock_guard G(Mutex);
        return Index >= 0 && static_cast<std::size_t>(Index) < Items.size() ? Items[Index]
                                                                            : TAttachment();
    }

    void Add(std::string_view File, std::string_view SendAs, std::string_view ZipName,
             std::string_view Field) override
    {
        if (File.empty())
            return;
        TAttachment A{std::string(File), std::string(SendAs), std::string(ZipName),
                      std::string(Field)};
        if (A.SendAs.empty())
            A.SendAs = A.File.substr(A.File.rfind('/') + 1);
        if (A.ZipName.empty())
            A.ZipName = A.SendAs.substr(0, A.SendAs.rfind('.'));
        std::lock_guard G(Mutex);
        Items.push_back(std::move(A));
        Changed();
    }

    bool DeleteByFile(std::string_view File) override
    {
        std::lock_guard G(Mutex);
        const auto It = std::find_if(Items.begin(), Items.end(),
                                     [&](const TAttachment& A) { return A.File == File; });
        if (It == Items.end())
            return false;
        Items.erase(It);
        Changed();
        return true;
    }

    void Clear() override
    {
        std::lock_guard G(Mutex);
        if (Items.empty())
            return;
        Items.clear();
        Changed();
    }

    std::shared_ptr<IKEAttachments> Clone() override
    {
        std::lock_guard G(Mutex);
        auto Copy = std::make_shared<TIKEAttachments>();
        Copy->Items = Items;
        return Copy;
    }

    void ClearOwnerSettings() override { Settings.Clear(); }

    void AddText(std::string_view Text)
    {
        for (const auto& Item : SplitItems(Text, '|'))
            Add(SubStrA(Item, 1, '>'), SubStrA(Item, 2, '>'), SubStrA(Item, 3, '>'),
                SubStrA(Item, 4, '>'));
    }

private:
    void Changed()
    {
        std::string Text;
        for (std::size_t I = 0; I < Items.size(); ++I) {
            const TAttachment& A = Items[I];
            Text += (I == 0 ? "" : "|") + A.File + ">" + A.SendAs + ">" + A.ZipName + ">" + A.Field;
        }
        Settings.WriteBack("AddAttachs", Text);
    }

    TOwnerSettings Settings;
    std::recursive_mutex Mutex;
    std::vector<TAttachment> Items;
};

} // namespace

std::shared_ptr<IKEFieldsEx> NewFields(std::weak_ptr<IKEFieldsOwnerReport> OwnerReport,
                                       std::weak_ptr<IKESettings> OwnerSettings,
                                       std::string_view Text)
{
    auto F = std::make_shared<TIKEFields>();
    F->AddText(Text);
    F->SetOwners(std::move(OwnerReport), std::move(OwnerSettings));
    return F;
}

std::shared_ptr<IKEAttachments> NewAttachments(std::weak_ptr<IKESettings> OwnerSettings,
                                               std::string_view Text)
{
    auto A = std::make_shared<TIKEAttachments>();
    A->AddText(Text);
    A->SetOwner(std::move(OwnerSettings));
    return A;
}
