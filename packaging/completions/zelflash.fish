# fish completion for zelflash(1), installed as
# share/fish/vendor_completions.d/zelflash.fish.
#
# Completes the commands (write, watch, list, job check, job init, report, lot create,
# lot extend, lot status, lot recover), the options
# of each, the --format, --on-failure, --mode, --present and --by values, image
# files by extension, job files (.toml), and serial ports from "zelflash list"
# (the path is each line's text up to its first two spaces).
# Keep the options in step with "zelflash CMD --help"
# (packaging/check_options.py fails when one is missing).

# "zelflash list", run as the command line names the program.
function __zelflash_list
    set -l prog (commandline -opc)[1]
    command -sq -- $prog; or set prog zelflash
    command $prog list 2>/dev/null
end

# Serial ports: the paths "zelflash list" prints.
function __zelflash_ports
    __zelflash_list | string replace -r '  .*' ''
end

# USB ids VID:PID from the "usb VID:PID" of "zelflash list".
function __zelflash_usb_ids
    __zelflash_list | string match -r -g '  usb ([0-9a-fA-F]{4}:[0-9a-fA-F]{4})'
end

# Directories and image files (by extension, in any case) starting with the
# token under the cursor.
function __zelflash_images
    set -l token (commandline -ct)
    for f in $token*
        if test -d $f
            echo $f/
        else if string match -q -i -r '\.(bin|hex|ihex|ihx|srec|s19|s28|s37|mot)$' -- $f
            echo $f
        end
    end
end

# Directories and job files (.toml, in any case) starting with the token
# under the cursor.
function __zelflash_jobs
    set -l token (commandline -ct)
    for f in $token*
        if test -d $f
            echo $f/
        else if string match -q -i -r '\.toml$' -- $f
            echo $f
        end
    end
end

set -l commands write watch list job report lot
set -l image_commands '__fish_seen_subcommand_from write watch'

complete -c zelflash -f
complete -c zelflash -s h -l help -d 'Print the usage and exit'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -l version -d 'Print the version and exit'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a write -d 'Program the device on every port given'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a watch -d 'Program every port that appears'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a list -d 'List the serial ports'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a job -d "Work with a station's job file"
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a report -d 'The yield of board logs'
complete -c zelflash -n "not __fish_seen_subcommand_from $commands" -a lot -d 'A lot that stations share through a database'

# write and watch: the image and its options.
complete -c zelflash -n $image_commands -k -a '(__zelflash_images)'
complete -c zelflash -n $image_commands -l format -x -a 'auto bin ihex srec' -d 'Image format instead of the extension'
complete -c zelflash -n $image_commands -s a -l address -x -d 'Device address of a raw image'
complete -c zelflash -n $image_commands -s b -l baud -x -a '9600 19200 38400 57600 115200 230400 460800 921600' -d 'Line speed'
complete -c zelflash -n $image_commands -l retries -x -d 'Attempts of one command before the port fails'
complete -c zelflash -n $image_commands -l erase-timeout -x -d 'Seconds the wait for the erase may last'
complete -c zelflash -n $image_commands -l fill-gaps -d 'Write images with gaps over a 4 KiB sector'
complete -c zelflash -n $image_commands -l flash-size -x -d 'Bytes of flash on the device'
complete -c zelflash -n $image_commands -s q -l quiet -d 'Nothing on standard output'
complete -c zelflash -n $image_commands -l job -x -a '(__zelflash_jobs)' -d "The station's job file (TOML)"
complete -c zelflash -n $image_commands -l serial -x -d 'A serial number per board: ADDR:FORMAT:START[:STEP[:LAST]]'
complete -c zelflash -n $image_commands -l set -x -d "A job's value field for this run: NAME=VALUE (repeatable)"
complete -c zelflash -n $image_commands -l state -r -d 'The state file that records the values handed out'
complete -c zelflash -n $image_commands -l new-state -d 'Make the --state file for a new lot'
complete -c zelflash -n $image_commands -l log -r -d 'Append a JSON line per finished board to this file'
complete -c zelflash -n $image_commands -l on-failure -x -a 'burn\t"Never handed out again" reuse\t"Go to the next board"' -d "What becomes of a failed board's values"
complete -c zelflash -n '__fish_seen_subcommand_from write watch list report' -l json -d 'JSON on standard output'

# write, and watch's fixture slots
complete -c zelflash -n '__fish_seen_subcommand_from write watch' -s p -l port -x -a '(__zelflash_ports)' -d 'Serial port (repeatable)'

# watch
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l include-present -d 'Also program the ports there at start'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l jobs -x -d 'Boards programmed at once'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l match -x -a '(__zelflash_usb_ids)' -d 'Only USB ports with this VID:PID'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l glob -r -d 'Ports are the paths matching this pattern'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l mode -x -a 'ports\t"A port per board, appearing as it is plugged in" fixture\t"Each port a fixture\'s slot, open all day"' -d 'What the ports are'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l fixture -d "Each port is a fixture's slot: --mode fixture"
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l present -x -a 'probe\t"It answers its loader" dsr\t"The switch drives DSR" cts\t"The switch drives CTS" dcd\t"The switch drives DCD" ri\t"The switch drives RI" enter\t"The operator presses Enter"' -d 'Fixture: how a board is known to be in its slot'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l probe-ms -x -d 'Fixture: milliseconds between two probes of a slot'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l http -x -d "Serve the station's page on [ADDR:]PORT"
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l http-token-file -r -F -d 'The token that lets the page pause, resume and stop'
complete -c zelflash -n '__fish_seen_subcommand_from watch' -l leave-ms -x -d 'Fixture: no answer this long and the board has left'

# job check JOB, job init JOB
complete -c zelflash -n '__fish_seen_subcommand_from job; and not __fish_seen_subcommand_from check init' -a check -d 'Check a job file and show what a run would do'
complete -c zelflash -n '__fish_seen_subcommand_from job; and not __fish_seen_subcommand_from check init' -a init -d "Make the job's state file for a new lot"
complete -c zelflash -n '__fish_seen_subcommand_from job; and __fish_seen_subcommand_from check init' -k -a '(__zelflash_jobs)'

# report LOG...
complete -c zelflash -n '__fish_seen_subcommand_from report' -F
complete -c zelflash -n '__fish_seen_subcommand_from report' -l by -x -a 'image label:' -d 'Group by image, or by a label (label:NAME)'
complete -c zelflash -n '__fish_seen_subcommand_from report' -l board-key -x -d 'Know boards by a field of their values'
complete -c zelflash -n '__fish_seen_subcommand_from report' -l html -r -F -d 'Also write the report as an HTML page'
complete -c zelflash -n '__fish_seen_subcommand_from report' -l lot -r -F -d "The records of the job's lot, from its database"

# lot create JOB, lot extend JOB, lot status [--json] JOB, lot recover JOB --station NAME
set -l lot_commands create extend status recover
complete -c zelflash -n "__fish_seen_subcommand_from lot; and not __fish_seen_subcommand_from $lot_commands" -a create -d "Make the job's lot in its database, once"
complete -c zelflash -n "__fish_seen_subcommand_from lot; and not __fish_seen_subcommand_from $lot_commands" -a extend -d "Raise the lot's counters' last values, add lines to its lists"
complete -c zelflash -n "__fish_seen_subcommand_from lot; and not __fish_seen_subcommand_from $lot_commands" -a status -d 'What the lot has handed out, what is left, and its stations'
complete -c zelflash -n "__fish_seen_subcommand_from lot; and not __fish_seen_subcommand_from $lot_commands" -a recover -d 'Burn the values held by a station that will not come back'
complete -c zelflash -n '__fish_seen_subcommand_from lot; and __fish_seen_subcommand_from recover' -l station -x -d 'The station, as the lot names it'
complete -c zelflash -n '__fish_seen_subcommand_from lot; and __fish_seen_subcommand_from recover' -l after -x -d 'Minutes the station must have been unseen'
complete -c zelflash -n '__fish_seen_subcommand_from lot; and __fish_seen_subcommand_from recover' -l force -d 'However recently it was seen (never while it is live)'
complete -c zelflash -n "__fish_seen_subcommand_from lot; and __fish_seen_subcommand_from $lot_commands" -k -a '(__zelflash_jobs)'
complete -c zelflash -n '__fish_seen_subcommand_from lot; and __fish_seen_subcommand_from status' -l json -d 'One JSON document'
