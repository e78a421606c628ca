// A virtual adapter started per test, with a client on its pty.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "AdapterSim.h"
#include "PtyClient.h"

class SimFixture : public ::testing::Test {
protected:
    void TearDown() override {
        _client.reset();
        if (_sim) _sim->stop();
    }

    // Starts an adapter with `options` and connects a client to it.
    PtyClient& startSim(sim::SimOptions options = {}) {
        _sim = std::make_unique<sim::AdapterSim>(std::move(options));
        std::string error;
        EXPECT_TRUE(_sim->start(&error)) << error;
        _client = std::make_unique<PtyClient>(_sim->ptyPath());
        EXPECT_TRUE(_client->isOpen());
        return *_client;
    }
    PtyClient& reconnect() {
        _client = std::make_unique<PtyClient>(_sim->ptyPath());
        return *_client;
    }
    sim::AdapterSim& adapter() { return *_sim; }
    PtyClient& client() { return *_client; }

    std::unique_ptr<sim::AdapterSim> _sim;
    std::unique_ptr<PtyClient> _client;
};
