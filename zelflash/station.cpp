#include "station.h"

#include "board.h"

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

bool station::open(const image& img, display* d)
{
    std::string error = station_check(setup_, img);
    bool counted = false;  // a field hands out values, so the state file records them
    for (const field_spec& f : setup_.fields)
        counted |= f.kind != FIELD_VALUE;
    if (error.empty() && counted && setup_.state_path.empty())
        error = "--serial needs --state FILE, the file that records which values have been handed out";
    if (error.empty() && counted) {
        state_ = std::make_unique<serial_state>();
        state_->open(setup_.state_path, setup_.fields, setup_.policy, &error);
    }
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

// A board that never started holds no reservation.
bool station::ended(const session_board& b, const board_view& v, std::string* why)
{
    auto t = tickets_.find(b.id);
    if (t != tickets_.end()) {
        uint64_t ticket = t->second;
        tickets_.erase(t);
        if (!state_->finish(ticket, board_programmed(v.result.outcome), why))
            return false;
    }
    return next_ == nullptr || next_->ended(b, v, why);
}
