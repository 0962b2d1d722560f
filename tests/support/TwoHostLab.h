// The private network most network tests start from: two hosts joined by one
// veth link, each end with a MAC and an address of the test's choosing.
//
//     class Probe : public TwoHostLab {
//     protected:
//         Probe() : TwoHostLab({"me", {"eth0", "02:00:00:77:00:01", "10.77.0.1/24"}},
//                              {"peer", {"eth0", "02:00:00:77:00:02", "10.77.0.2/24"}}) {}
//         void SetUpLab() override { second->AddAddress("eth0", "10.77.0.3/24"); }
//         lan::Host*& me = first;
//     };
//
// Without the right to build private networks the test is skipped (see
// TVX_REQUIRE_LAN); the lab and everything in it go when the test ends.
#pragma once

#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

// One end of the link: the host's label and its network card.
struct LabEnd {
    std::string label;
    lan::Nic nic;
};

struct LinkedHosts {
    lan::Host& first;
    lan::Host& second;
};

// Adds the two hosts to the lab and links them; first and second in the
// order given. For a test that needs the pair once:
//     auto [scanner, server] = AddLinkedHosts(lab, {"scanner", {...}}, {"server", {...}});
inline LinkedHosts AddLinkedHosts(lan::Lab& lab, const LabEnd& a, const LabEnd& b)
{
    lan::Host& first = lab.AddHost(a.label);
    lan::Host& second = lab.AddHost(b.label);
    lab.Link(first, a.nic, second, b.nic);
    return {first, second};
}

class TwoHostLab : public ::testing::Test {
protected:
    TwoHostLab(LabEnd a, LabEnd b) : ends_{std::move(a), std::move(b)} {}

    // Final, so that no fixture can forget the skip or the link: what a
    // fixture adds goes into SetUpLab.
    void SetUp() final
    {
        TVX_REQUIRE_LAN();
        lab = std::make_unique<lan::Lab>();
        const LinkedHosts hosts = AddLinkedHosts(*lab, ends_.first, ends_.second);
        first = &hosts.first;
        second = &hosts.second;
        SetUpLab();
    }

    // Runs once both hosts are linked: routes, more addresses, peers.
    virtual void SetUpLab() {}

    std::unique_ptr<lan::Lab> lab;
    lan::Host* first = nullptr;
    lan::Host* second = nullptr;

private:
    std::pair<LabEnd, LabEnd> ends_;
};
