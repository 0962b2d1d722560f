#include "engine/uScanJob.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

TEST(ScanVocabulary, Values)
{
    // The values are stored ("LastTarget", "LasTMethod") and index the
    // main window's selectors, so they are fixed.
    EXPECT_EQ(stLocalComputer, 0);
    EXPECT_EQ(stRemoteComputer, 1);
    EXPECT_EQ(stEntireNetwork, 2);
    EXPECT_EQ(stIPRange, 3);
    EXPECT_EQ(stAddressList, 4);
    EXPECT_EQ(stActiveDirectory, 5);
    EXPECT_EQ(stExpression, 6);
    EXPECT_EQ(smAll, -1);
    EXPECT_EQ(smArp, 0);
    EXPECT_EQ(smNetBios, 1);
    EXPECT_EQ(smNetApi, 2);
    EXPECT_EQ(smWmi, 3);
    EXPECT_EQ(smSnmp, 4);
    EXPECT_EQ(csDontCheck, -1);
    EXPECT_EQ(csPing, 0);
    EXPECT_EQ(csTcpConnect, 1);
    EXPECT_EQ(jsNone, -1);
    EXPECT_EQ(jsComplete, 0);
    EXPECT_EQ(jsInactive, 1);
    EXPECT_EQ(jsInformation, 2);
    EXPECT_EQ(jsNotFound, 3);
}

TEST(ScanJob, NewJobIsEmpty)
{
    TScanJob j;
    EXPECT_EQ(j.Status, jsNone);
    EXPECT_FALSE(j.Alive);
    EXPECT_EQ(j.Computer, nullptr);
    EXPECT_EQ(j.Names, nullptr);
    EXPECT_EQ(j.Settings.DefaultTimeout, 300);
}

TEST(ScanJob, ResetLeavesNothingOfThePreviousJob)
{
    TScanJob j;
    j.Address = "pc1";
    j.Alive = true;
    j.IP = "10.0.0.5";
    j.Computer = std::make_unique<TComputer>();
    j.Computer->SetName("pc1");
    j.Computer->AdapterList.push_back(std::make_unique<TMacAddress>());
    j.Target = stActiveDirectory;
    j.Method = smSnmp;
    j.Status = jsComplete;
    j.Message = "done";
    j.Names = std::make_unique<std::vector<std::string>>(std::vector<std::string>{"a", "b"});
    j.ADIncludeDisabled = true;
    j.Settings.DefaultTimeout = 5;
    j.Settings.sSetStatusScanComputerComplete = "translated %s";

    j.Reset();

    EXPECT_EQ(j.Address, "");
    EXPECT_FALSE(j.Alive);
    EXPECT_EQ(j.IP, "");
    EXPECT_EQ(j.Computer, nullptr);
    EXPECT_EQ(j.Target, 0);
    EXPECT_EQ(j.Method, 0);
    EXPECT_EQ(j.Status, jsNone);
    EXPECT_EQ(j.Message, "");
    EXPECT_EQ(j.Names, nullptr);
    EXPECT_FALSE(j.ADIncludeDisabled);
    EXPECT_EQ(j.Settings.DefaultTimeout, 300);
    EXPECT_EQ(j.Settings.sSetStatusScanComputerComplete, "sSetStatusScanComputerComplete");
}

TEST(ScanJob, EmptyNameListIsNotTheSameAsNone)
{
    TScanJob j;
    j.Names = std::make_unique<std::vector<std::string>>();
    ASSERT_NE(j.Names, nullptr); // an enumeration that found nothing
    EXPECT_TRUE(j.Names->empty());
    j.Reset();
    EXPECT_EQ(j.Names, nullptr);
}

TEST(ScanJob, HandingTheComputerOnLeavesTheJobWithout)
{
    TScanJob j;
    j.Computer = std::make_unique<TComputer>();
    TComputer* raw = j.Computer.get();
    TComputerList list;
    list.push_back(std::move(j.Computer)); // what the pool does with a found computer
    EXPECT_EQ(j.Computer, nullptr);
    EXPECT_EQ(list[0].get(), raw);
    j.Reset();
    EXPECT_EQ(list.size(), 1u); // the reset does not reach what was handed on
}
