// "MAC Address Manufacturer Lookup": the vendor of a MAC address the user
// types or picks from the addresses on offer (this computer's adapters).
#pragma once

#include <QDialog>

#include <memory>
#include <string>
#include <vector>

class QMenu;
namespace Ui {
class TDlgLookupMACAddress;
}

class TDlgLookupMACAddress : public QDialog {
    Q_OBJECT
public:
    // MACList null: this computer's adapters are offered.
    TDlgLookupMACAddress(QWidget* Owner, const std::string& MAC,
                         const std::vector<std::string>* MACList);
    ~TDlgLookupMACAddress() override;

    // What the ">>" menu offers, in its order.
    const std::vector<std::string>& Offered() const { return FOffered; }
    QMenu* AddressMenu() const { return FMenu; }
    // The "Lookup" button.
    void Lookup();

private:
    void Choose(int Tag);

    std::unique_ptr<Ui::TDlgLookupMACAddress> ui;
    QMenu* FMenu;
    std::vector<std::string> FOffered;
    std::string FInitialMAC;
};

// The MAC texts of this computer's adapters: upper-case pairs joined by "-",
// without the empty and all-zero ones (loopback, tunnels) and repeats.
std::vector<std::string> LocalAdapterMACs();

// True when Text, lower-cased with ":" turned into "-", is six two-digit
// hexadecimal groups joined by "-".
bool IsMACAddressText(const std::string& Text);

// Modal; true when closed with "Close".
bool ShowLookupMACAddress(const std::string& MAC,
                          const std::vector<std::string>* MACList = nullptr);
