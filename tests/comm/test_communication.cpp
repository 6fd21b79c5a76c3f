// The communication objects as the solver sees them.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

TEST(Communication, DefaultObjectsServeASinglePartition)
{
    CCommunication commu;
    CQVLCom com;
    double v[3] = {1.0, 2.0, 3.0};
    commu.DDM_Exch(v);
    commu.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
    commu.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[2], 3.0);
    double local = -2.5;
    EXPECT_EQ(com.AllSum(local), -2.5);
    EXPECT_EQ(local, -2.5);
}

TEST(Communication, CallsReachTheTransport)
{
    auto t = std::make_shared<CRecordingTransport>();
    t->sum = [](double local) { return local * 10.0; };
    CCommunication commu(t);
    CQVLCom com(t);
    double v[2] = {0.0, 0.0};
    commu.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
    commu.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    commu.DDM_Exch(v);
    double local = 1.5;
    EXPECT_EQ(com.AllSum(local), 15.0);
    EXPECT_EQ(t->calls, (std::vector<std::string>{"Start0", "Wait0", "Exch", "Sum"}));
}
