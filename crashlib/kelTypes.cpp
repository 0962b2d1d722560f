#include "crashlib/kelTypes.h"

#include <cstdlib>
#include <cxxabi.h>

TKelExceptionFactory KelExceptionFactory = nullptr;

KelException::~KelException() = default;

void KelException::Raise() const
{
    throw *this;
}

EExternal::~EExternal() = default;

void EExternal::Raise() const
{
    throw *this;
}

std::unique_ptr<KelException> NewKelException(std::string_view Message)
{
    if (KelExceptionFactory != nullptr) {
        if (auto E = KelExceptionFactory(Message))
            return E;
    }
    return std::make_unique<KelException>(std::string(Message));
}

std::unique_ptr<KelException> GetUnknownExceptionObject()
{
    return GetUnknownExceptionObject(abi::__cxa_current_exception_type());
}

std::unique_ptr<KelException> GetUnknownExceptionObject(const std::type_info* ThrownType)
{
    std::string Text(UnknownExceptionText);
    if (ThrownType != nullptr) {
        const char* Raw = ThrownType->name();
        int Status = 0;
        // The runtime allocates the demangled name with malloc.
        std::unique_ptr<char, decltype(&std::free)> Demangled(
            abi::__cxa_demangle(Raw, nullptr, nullptr, &Status), &std::free);
        const char* Name = (Status == 0 && Demangled) ? Demangled.get() : Raw;
        if (Name != nullptr && *Name != '\0') {
            Text += " Thrown type: ";
            Text += Name;
        }
    }
    return std::make_unique<KelException>(std::move(Text));
}
