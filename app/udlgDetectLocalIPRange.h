// Choosing the local subnet: with several local addresses the user picks one
// in "Local IP Address"; its subnet's first and last host are the range.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class TIPAndMask;
namespace Ui {
class TdlgDetectLocalIPRange;
}

class TdlgDetectLocalIPRange : public QDialog {
    Q_OBJECT
public:
    explicit TdlgDetectLocalIPRange(QWidget* Owner);
    ~TdlgDetectLocalIPRange() override;

    // One item per address: Format(sFormatSelectIpRange, [address, adapter]).
    void Fill(const TIPAndMask& List);
    int ItemIndex() const;

private:
    std::unique_ptr<Ui::TdlgDetectLocalIPRange> ui;
};

// The range of one of the local adapters' subnets: the first address's
// without asking when there is only one or ForceFirst is set, else the one
// the user picks. True when both addresses are set. Without any local
// address the user who asked (not ForceFirst) is told so by a message.
bool DetectLocalIPRange(std::string& StartIP, std::string& StopIP, bool ForceFirst);
// The same over a given list of addresses.
bool DetectLocalIPRange(const TIPAndMask& List, std::string& StartIP, std::string& StopIP,
                        bool ForceFirst);
