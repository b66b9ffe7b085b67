// A listener of this process on a channel of its own, served on a thread for the test's life.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "host/commp.h"
#include "text/text.h"

class ListenerFixture : public ::testing::Test {
protected:
    explicit ListenerFixture(class_commp::TextHandler handler) { server_.text_handler = handler; }

    void SetUp() override
    {
#ifndef _WIN32
        root_ = std::filesystem::temp_directory_path() / ("zelmusb-commp-" + std::to_string(std::rand()));
        ::setenv("ZELMUSB_PLATFORM_ROOT", root_.c_str(), 1);
#endif
        channel_ = text::format(u"test%i", std::rand() % 100000);
        thread_ = std::thread([this] {
            server_.listen(channel_, &stop_);
            ended_ = true;
        });
    }
    void TearDown() override
    {
        stop_ = true;
        // Wakes the listener from its wait for a client (a slow handler may still be busy), again
        // when a wake-up did not reach it (a loaded machine can make a connect give up).
        for (int i = 0; i < 20 && !ended_; ++i) {
            class_commp waker(2000, 2000);
            waker.AskText(0, u"bye", channel_, 5000);
        }
        thread_.join();
#ifndef _WIN32
        std::filesystem::remove_all(root_);
#endif
    }

    std::filesystem::path root_;
    std::u16string channel_;
    class_commp server_{2000, 2000};
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};
