// The crash library's own exception class and the array types that all of its
// units pass around. The library must serve a process that may be failing, so
// it keeps its exceptions to one small, self-contained hierarchy.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

// Base of every exception the crash library raises.
class KelException : public std::exception {
public:
    KelException() = default;
    explicit KelException(std::string AMessage) : Message(std::move(AMessage)) {}
    KelException(const KelException&) = default;
    KelException(KelException&&) noexcept = default;
    KelException& operator=(const KelException&) = default;
    KelException& operator=(KelException&&) noexcept = default;
    ~KelException() override;

    const char* what() const noexcept override { return Message.c_str(); }

    // Throws this object as its own dynamic type, so that an exception made
    // through NewKelException keeps its class when it is raised.
    [[noreturn]] virtual void Raise() const;

    // The text of the failure (UTF-8).
    std::string Message;
};

// A failure reported by the processor or the operating system (a signal, a
// hardware exception) rather than by code that raised it.
class EExternal : public KelException {
public:
    using KelException::KelException;
    ~EExternal() override;
    [[noreturn]] void Raise() const override;
};

// Makes the exception object for a message. The class is chosen by the
// process-wide factory below; the library's own class when none is set.
using TKelExceptionFactory = std::unique_ptr<KelException> (*)(std::string_view Message);

// The process-wide exception factory; null means "KelException".
extern TKelExceptionFactory KelExceptionFactory;

std::unique_ptr<KelException> NewKelException(std::string_view Message);

// The exception object for a failure whose class nobody knows: the fixed text,
// followed by the C++ runtime's (demangled) name of the thrown type when there
// is one. Without an argument the type of the exception currently being
// handled is used (so call it inside a catch block).
std::unique_ptr<KelException> GetUnknownExceptionObject();
std::unique_ptr<KelException> GetUnknownExceptionObject(const std::type_info* ThrownType);

// The text every unknown-exception object starts with.
inline constexpr std::string_view UnknownExceptionText =
    "Unknown exception. Its class could not be determined.";

// Array types shared by the library's units.
using TDANativeUInt = std::vector<uint32_t>;
using TDAAnsiString = std::vector<std::string>;
using TDAUnicodeString = std::vector<std::u16string>;
