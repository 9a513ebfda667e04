// A fixture's slots on their threads, with the presence line read through
// the port seam's fake (a pty has no modem lines): a board seated and taken
// off by the line, the adapter pulled and plugged back, and a port without
// modem lines refused at the start.
#include "engine/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "fake_port.h"

namespace {

std::atomic<uint32_t> lines{0};
std::atomic<bool> plugged{true};

int line_modem(port_handle, uint32_t* out)
{
    *out = lines.load();
    return plugged.load() ? 1 : 0;
}

int line_alive(port_handle)
{
    return plugged.load() ? 1 : 0;
}

port_handle line_open(const char* name)
{
    return plugged.load() ? fake_open(name) : nullptr;
}

const port_ops line_ops = [] {
    port_ops o = fake_ops;
    o.open = line_open;
    o.alive = line_alive;
    o.modem = line_modem;
    return o;
}();

fixture_rules dsr_rules()
{
    fixture_rules r;
    r.timing.signal = slot_signal::line;
    r.line = PORT_LINE_DSR;
    r.seams.ops = &line_ops;
    return r;
}

std::vector<port_info> one_slot()
{
    port_info p;
    p.path = "/dev/fixture1";
    return {p};
}

// Waits (generously) for a slot's news, keeping what came before it.
bool heard(fixture& f, slot_news wanted, std::vector<slot_news>* all)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < limit) {
        for (const fixture_news& n : f.take_news())
            all->push_back(n.news);
        if (std::find(all->begin(), all->end(), wanted) != all->end())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A fresh fake adapter, plugged in, its line off, under a started fixture.
void start_with_no_board(fixture& f)
{
    fake = fake_port{};
    lines = 0;
    plugged = true;
    std::string error;
    ASSERT_TRUE(f.start(&error)) << error;
}

TEST(fixture, the_presence_line_seats_and_removes_a_board_once_debounced)
{
    fixture f(dsr_rules(), one_slot());
    ASSERT_NO_FATAL_FAILURE(start_with_no_board(f));
    std::vector<slot_news> news;
    lines = PORT_LINE_CTS;  // another line: no board
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(f.ready().empty());
    lines = PORT_LINE_DSR;
    ASSERT_TRUE(heard(f, slot_news::arrived, &news));
    EXPECT_EQ(f.ready(), std::vector<int>{1});
    ser_port lent = f.lend(1);
    EXPECT_EQ(lent.handle, &fake) << "the slot's own open port";
    EXPECT_EQ(f.view(1).phase, slot_phase::programming);
    f.give_back(1, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(f.view(1).phase, slot_phase::leaving) << "the line still on: the board is still there";
    lines = 0;
    ASSERT_TRUE(heard(f, slot_news::left, &news));
    EXPECT_EQ(f.view(1).phase, slot_phase::empty);
    EXPECT_EQ(std::count(news.begin(), news.end(), slot_news::arrived), 1);
    EXPECT_EQ(fake.closed, 0) << "the port stays open between boards";
}

TEST(fixture, an_adapter_pulled_and_plugged_back_is_shown_and_taken_up_again)
{
    fixture f(dsr_rules(), one_slot());
    ASSERT_NO_FATAL_FAILURE(start_with_no_board(f));
    std::vector<slot_news> news;
    plugged = false;
    ASSERT_TRUE(heard(f, slot_news::unplugged, &news));
    EXPECT_EQ(f.view(1).phase, slot_phase::unplugged);
    plugged = true;
    ASSERT_TRUE(heard(f, slot_news::plugged, &news));
    lines = PORT_LINE_DSR;
    ASSERT_TRUE(heard(f, slot_news::arrived, &news));
    EXPECT_EQ(fake.opened.size(), 2u) << "opened at the start and once plugged back";
}

TEST(fixture, a_port_without_modem_lines_is_refused_at_the_start_for_a_presence_line)
{
    fake = fake_port{};  // fake_ops' modem reports none, as a pty does
    fixture_rules r = dsr_rules();
    r.seams.ops = &fake_ops;
    fixture f(r, one_slot());
    std::string error;
    EXPECT_FALSE(f.start(&error));
    EXPECT_NE(error.find("/dev/fixture1: its modem status lines cannot be read"), std::string::npos) << error;
    EXPECT_EQ(fake.closed, 1) << "put back and closed";
}

}  // namespace
