#include "values/journal_file.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/file_lock.h"

namespace {

constexpr uint64_t MAX_FILE_SIZE = uint64_t{1} << 30;  // some million boards' records

// What a journal that failed a write means for the run, and what to do.
const std::string stopped_for_good = "no value is handed out from this run on: free space on its disk (or make "
                                     "the file writable again), then start zelflash again";

// The pid of the last run that opened the file, for the message that it is
// in use; 0 when it cannot be told.
uint64_t holder_pid(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    uint64_t pid = 0;
    while (std::getline(in, line)) {
        if (line.find("\"open\"") == std::string::npos)
            continue;
        nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
        if (r.is_object() && r.value("rec", nlohmann::json()) == "open" &&
            r.value("pid", nlohmann::json()).is_number_unsigned())
            pid = r["pid"].get<uint64_t>();
    }
    return pid;
}

bool open_locked(file_lock* file, const std::string& path, const std::string& missing, std::string* error)
{
    std::string why;
    switch (file->open(path, &why)) {
    case FILE_LOCK_TAKEN: return true;
    case FILE_LOCK_BUSY: {
        uint64_t pid = holder_pid(path);
        *error = path + " is in use by another zelflash" + (pid ? " (pid " + std::to_string(pid) + ")" : "") +
                 "; one station, one state file";
        return false;
    }
    case FILE_LOCK_MISSING: *error = missing; return false;
    default: *error = path + ": cannot open the state file: " + why; return false;
    }
}

}  // namespace

journal_file::journal_file(std::string path) : path_(std::move(path)) {}
journal_file::~journal_file() = default;

bool journal_file::open(const std::string& missing, std::string* text, std::string* error)
{
    auto file = std::make_unique<file_lock>();
    std::string why;
    if (!open_locked(file.get(), path_, missing, error))
        return false;
    if (!file->read_all(MAX_FILE_SIZE, text, &why)) {
        *error = path_ + ": cannot read the state file: " + why;
        return false;
    }
    file_ = std::move(file);
    broken_.clear();
    return true;
}

void journal_file::close()
{
    file_.reset();
}

bool journal_file::record(const std::string& line, std::string* error)
{
    std::string why;
    if (file_->append(line, &why) && file_->sync(&why))
        return true;
    broken_ = why;
    *error = path_ + ": cannot write a record: " + why + "; " + stopped_for_good;
    return false;
}

bool journal_file::sync_directory(std::string* error)
{
    std::string why;
    if (file_lock_sync_directory(path_, &why))
        return true;
    *error = path_ + ": cannot sync its folder: " + why;
    return false;
}

bool journal_file::writable(std::string* error) const
{
    if (!file_) {
        *error = "the state file is not open";
        return false;
    }
    if (broken_.empty())
        return true;
    *error = path_ + ": a record could not be written (" + broken_ + "); " + stopped_for_good;
    return false;
}

// Before each reservation: the path must still name the file held, or the
// values handed out would be recorded where no later run finds them.
bool journal_file::in_place(std::string* error)
{
    std::string why;
    if (file_->still_at(path_, &why))
        return true;
    broken_ = path_ + " is no longer the file this station holds: " + why;
    *error = broken_ + "; no value is handed out from here on. What the station recorded is saved beside it "
                       "when it stops; check which file is the lot's, put it back at " + path_ +
             ", then start the station again";
    return false;
}

std::string journal_file::save_if_lost()
{
    std::string why, text;
    if (!file_ || file_->still_at(path_, &why))
        return "";
    std::string saved = path_ + ".saved-" + std::to_string(file_lock_process_id());
    std::string error;
    if (!file_->read_all(MAX_FILE_SIZE, &text, &error) || file_lock_make(saved, text, &error) != FILE_LOCK_MADE)
        return path_ + " is no longer the file this station held (" + why +
               "), and what it recorded could not be saved (" + (error.empty() ? "a file is in the way" : error) +
               "); its last records are in the board log";
    return path_ + " is no longer the file this station held (" + why + "); what it recorded is saved as " +
           saved + ": check which file is the lot's and put it back at " + path_ + " before the next start";
}
