#include "device.h"

#include <cstring>

#include "lpkt.h"

const char* device_outcome_name(int32_t outcome)
{
    switch (outcome) {
    case DEVICE_ANSWERED: return "answered";
    case DEVICE_WAITING: return "waiting";
    case DEVICE_SUPERSEDED: return "superseded";
    case DEVICE_UNKNOWN: return "unknown";
    case DEVICE_MALFORMED: return "malformed";
    case DEVICE_OUT_OF_FLASH: return "out_of_flash";
    case DEVICE_BUSY: return "busy_erasing";
    default: return "?";
    }
}

const char* device_erase_wait_name(int32_t mode)
{
    switch (mode) {
    case DEVICE_WAIT_HOLD: return "hold";
    case DEVICE_WAIT_HOLD_ALL: return "hold-all";
    case DEVICE_WAIT_IGNORE: return "ignore";
    case DEVICE_WAIT_LATE_ERASE: return "late-erase";
    default: return "?";
    }
}

int32_t device_erase_wait_parse(const char* text)
{
    for (int32_t mode = 0; mode < DEVICE_WAIT_MODES; ++mode)
        if (std::strcmp(text, device_erase_wait_name(mode)) == 0)
            return mode;
    return -1;
}

void device_init(device* t, device_timing timing)
{
    flash_init(&t->memory);
    t->timing = timing;
    t->erase_end_us = 0;
    t->held.clear();
    t->log.clear();
    t->clock_settings.clear();
    t->resets = 0;
    t->last_reset_us = 0;
}

bool device_erasing(const device* t, int64_t now_us)
{
    return t->erase_end_us > now_us;
}

// The name up to its NUL within the 8-byte field; without a NUL in the field
// the command has no valid name. Returned as printable text for the log.
static std::string read_name(std::span<const uint8_t> payload, bool* terminated)
{
    std::string name;
    *terminated = false;
    for (size_t i = 0; i < payload.size() && i < DEVICE_NAME_FIELD; ++i) {
        if (payload[i] == 0) {
            *terminated = true;
            break;
        }
        char c = static_cast<char>(payload[i]);
        name.push_back(c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? c : '?');
    }
    return name;
}

static int32_t answer_at(command_record* r, int64_t when_us)
{
    r->reply_us = when_us;
    return DEVICE_ANSWERED;
}

static int32_t do_erase(device* t, command_record* r, size_t length, int64_t now_us)
{
    if (length != DEVICE_COMMAND_HEADER || r->param2 < r->param1)
        return DEVICE_MALFORMED;
    if (!flash_range_ok(r->param1, r->param2))
        return DEVICE_OUT_OF_FLASH;
    int32_t sectors = flash_erase(&t->memory, r->param1, r->param2);
    // An erase given while another runs starts over; a PROGRAM(0, 0) held for
    // the old one is dropped so that it cannot be answered too early.
    for (size_t held : t->held)
        t->log[held].outcome = DEVICE_SUPERSEDED;
    t->held.clear();
    t->erase_end_us = now_us + sectors * t->timing.erase_us_per_sector;
    // A device that erases before it answers says so only at the end.
    return answer_at(r, t->timing.erase_wait == DEVICE_WAIT_LATE_ERASE ? t->erase_end_us : now_us);
}

static int32_t do_wait(device* t, command_record* r, int64_t now_us)
{
    if (!device_erasing(t, now_us))
        return answer_at(r, now_us);
    if (t->timing.erase_wait == DEVICE_WAIT_HOLD) {
        for (size_t held : t->held)
            t->log[held].outcome = DEVICE_SUPERSEDED;
        t->held.clear();
    }
    t->held.push_back(t->log.size());
    return DEVICE_WAITING;
}

static int32_t do_program(device* t, command_record* r, std::span<const uint8_t> payload, int64_t now_us)
{
    if (payload.size() < DEVICE_COMMAND_HEADER || r->param2 < r->param1)
        return DEVICE_MALFORMED;
    if (r->data_length != r->param2 - r->param1)
        return DEVICE_MALFORMED;
    if (r->data_length == 0)
        return do_wait(t, r, now_us);
    if (!flash_range_ok(r->param1, r->param2))
        return DEVICE_OUT_OF_FLASH;
    if (device_erasing(t, now_us))
        return DEVICE_BUSY;
    flash_program(&t->memory, r->param1, payload.subspan(DEVICE_COMMAND_HEADER));
    return answer_at(r, now_us + t->timing.program_us);
}

static int32_t do_rtc_set(device* t, command_record* r, std::span<const uint8_t> payload, int64_t now_us)
{
    if (payload.size() != DEVICE_RTC_SET_SIZE)
        return DEVICE_MALFORMED;
    rtc_setting setting{};
    std::memcpy(setting.first.data(), payload.data() + DEVICE_NAME_FIELD, DEVICE_TIME_RECORD);
    std::memcpy(setting.second.data(), payload.data() + DEVICE_NAME_FIELD + DEVICE_TIME_RECORD, DEVICE_TIME_RECORD);
    setting.time_us = now_us;
    t->clock_settings.push_back(setting);
    return answer_at(r, now_us);
}

static int32_t do_reset(device* t, command_record* r, size_t length, int64_t now_us)
{
    if (length != DEVICE_RESET_SIZE)
        return DEVICE_MALFORMED;
    t->resets += 1;
    t->last_reset_us = now_us;
    return answer_at(r, now_us);
}

static int32_t carry_out(device* t, command_record* r, std::span<const uint8_t> payload, bool named, int64_t now_us)
{
    if (!named)
        return DEVICE_UNKNOWN;
    if (r->name == "ERASE")
        return do_erase(t, r, payload.size(), now_us);
    if (r->name == "PROGRAM")
        return do_program(t, r, payload, now_us);
    if (r->name == "RTC_SET")
        return do_rtc_set(t, r, payload, now_us);
    if (r->name == "RESET")
        return do_reset(t, r, payload.size(), now_us);
    return DEVICE_UNKNOWN;
}

// When the device gets to a command that came at now_us: a device that
// erases before it answers takes it only once the erase is over.
static int64_t taken_at(const device* t, int64_t now_us)
{
    if (t->timing.erase_wait == DEVICE_WAIT_LATE_ERASE && device_erasing(t, now_us))
        return t->erase_end_us;
    return now_us;
}

size_t device_command(device* t, std::span<const uint8_t> payload, int64_t now_us)
{
    command_record r{};
    bool named = false;
    r.name = read_name(payload, &named);
    if (payload.size() >= DEVICE_COMMAND_HEADER) {
        r.param1 = get_le32(payload.data() + DEVICE_NAME_FIELD);
        r.param2 = get_le32(payload.data() + DEVICE_NAME_FIELD + 4);
        r.data_length = static_cast<uint32_t>(payload.size() - DEVICE_COMMAND_HEADER);
    }
    r.time_us = now_us;
    if (t->timing.erase_wait == DEVICE_WAIT_IGNORE && device_erasing(t, now_us))
        r.outcome = DEVICE_BUSY;
    else
        r.outcome = carry_out(t, &r, payload, named, taken_at(t, now_us));
    t->log.push_back(r);
    return t->log.size() - 1;
}

std::vector<size_t> device_release_waits(device* t, int64_t now_us)
{
    std::vector<size_t> released;
    if (device_erasing(t, now_us))
        return released;
    released.swap(t->held);
    for (size_t index : released) {
        command_record& r = t->log[index];
        r.outcome = DEVICE_ANSWERED;
        r.reply_us = t->erase_end_us;
    }
    return released;
}
