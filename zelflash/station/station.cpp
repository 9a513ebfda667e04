#include "station/station.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "base/texts.h"
#include "engine/board.h"
#include "outputs/board_log.h"

std::string station_check(const station_setup& setup, const image& img)
{
    if (!setup.image_sha256.empty() && img.file_sha256 != setup.image_sha256)
        return setup.pin_origin + ": the image " + img.name + " has the SHA-256 " +
               (img.file_sha256.empty() ? std::string("of no file") : img.file_sha256) + ", not the " +
               setup.image_sha256 + " the job pins; give the image the job was made for, or pin the new one";
    uint32_t size = static_cast<uint32_t>(img.bytes.size());
    for (size_t i = 0; i < setup.fields.size(); ++i) {
        std::string error = fields_check({setup.fields[i]}, img.addr, size);
        if (!error.empty())
            return setup.field_origins[i] + ": " + error;
    }
    return fields_check(setup.fields, img.addr, size);
}

std::vector<field_spec> station_counted(const station_setup& setup)
{
    std::vector<field_spec> counted;
    for (const field_spec& f : setup.fields)
        if (f.kind != FIELD_VALUE)
            counted.push_back(f);
    return counted;
}

std::unique_ptr<value_source> station_source(const station_setup& setup)
{
    if (setup.lot)
        return lot_source_make(*setup.lot);
    return std::make_unique<serial_state>(setup.state_path, setup.log_path);
}

// A field hands out values, so the state file records them.
bool station::open_state(std::string* error)
{
    if (setup_.state_path.empty()) {
        *error = "--serial needs --state FILE, the file that records which values have been handed out (made "
                 "once with --new-state)";
        return false;
    }
    if (setup_.new_state && !serial_state_create(setup_.state_path, setup_.fields, setup_.log_path, error))
        return false;
    state_ = station_source(setup_);
    if (!state_) {
        *error = "[lot]: this build of zelflash has no lot database client";
        return false;
    }
    return state_->open(setup_.fields, setup_.policy, error);
}

bool station::open(const image& img, display* d)
{
    display_ = d;
    std::string error = station_check(setup_, img);
    if (error.empty() && !station_counted(setup_).empty())
        open_state(&error);
    else if (error.empty() && setup_.new_state)
        error = "--new-state: there is no counter or list field, so there is no state file to make";
    if (!error.empty()) {
        d->problem(error);
        return false;
    }
    if (state_)
        for (const std::string& notice : state_->notices())
            d->notice(notice);
    return true;
}

bool station::starting(const session_board& b, image* copy, std::vector<field_value>* values, std::string* why)
{
    if (state_) {
        uint64_t ticket = 0;
        if (!state_->reserve(b.port.path, values, &ticket, why))
            return false;
        tickets_[b.id] = ticket;
    } else {
        for (const field_spec& f : setup_.fields)  // given values only: nothing to hand out
            values->push_back(field_value{f.name, f.value});
    }
    if (!setup_.fields.empty()) {
        image patched;
        if (!fields_patch(*copy, setup_.fields, *values, &patched, why))
            return false;  // stays reserved, and is burned when the file is next opened
        *copy = std::move(patched);
    }
    return next_ == nullptr || next_->starting(b, copy, values, why);
}

bool station::may_hold(const board_view& v) const
{
    for (const field_spec& f : setup_.fields)
        if (f.kind != FIELD_VALUE && board_may_hold(v, f.address, f.width))
            return true;
    return false;
}

// A board that never started holds no reservation. The board log hears of
// every board, also of one whose end the state file could not record.
bool station::ended(const session_board& b, const board_view& v, std::string* why)
{
    std::string unrecorded;
    auto t = tickets_.find(b.id);
    if (t != tickets_.end()) {
        uint64_t ticket = t->second;
        tickets_.erase(t);
        bool programmed = board_programmed(v.end);
        std::string record = setup_.lot ? board_record(b, v, ticket) : "";
        if (!state_->finish_board(ticket, programmed, may_hold(v), record, &unrecorded))
            unrecorded = b.port.path + " (" + board_end_text(v.end) +
                         ") is not recorded in the state file, which stays reserved for it and burns its values at "
                         "the next start: " + unrecorded;
    }
    std::string logged;
    bool ok = next_ == nullptr || next_->ended(b, v, &logged);
    *why = unrecorded.empty() ? logged : logged.empty() ? unrecorded : unrecorded + "; " + logged;
    return ok && unrecorded.empty();
}

// A lot's record of a board: its board-log line, with the station and
// ticket that make it one of the lot's boards.
std::string station::board_record(const session_board& b, const board_view& v, uint64_t ticket) const
{
    board_log_record r;
    r.start = b.start;
    r.end = std::chrono::system_clock::now();
    r.port = b.port;
    r.img = b.img;
    r.view = v;
    r.labels = &setup_.labels;
    r.slot = b.slot;
    nlohmann::json line = board_log_line(r);
    line["lot"] = setup_.lot->lot;
    line["station"] = setup_.lot->station;
    line["ticket"] = ticket;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool station::can_start(size_t waiting)
{
    std::string why;
    if (!state_ || state_->ready(&why)) {
        if (!told_.empty() && display_ != nullptr)
            display_->notice("lot database reached again: boards start");
        told_.clear();
        return true;
    }
    if (!why.empty() && why != told_ && display_ != nullptr)
        display_->notice(why + "; " + counted(waiting, "board", "boards") + " waiting");
    if (!why.empty())  // the database back, its lease still to come: the boards still wait for the lot
        told_ = why;
    return false;
}

void station::wake_with(std::function<void()> wake)
{
    if (state_)
        state_->when_ready(std::move(wake));
}

std::string station::close()
{
    if (!state_)
        return "";
    std::string error;
    if (!state_->close(&error) && display_ != nullptr)
        display_->notice(error);
    return state_->save_if_lost();
}
