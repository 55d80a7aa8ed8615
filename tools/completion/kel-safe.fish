# fish completion for kel-safe: subcommands, their options and store paths.
# Entry names are not completed: listing them needs the store password.

set -l kel_safe_commands create verify passwd keygen grant slots revoke add get edit exists ls find otp mv cp rm merge merge-driver check repair upgrade export import generate run shell agent version help

# Stores for -s: *.safe files and directories, or any file when there is no
# store to offer.
function __kel_safe_stores
    set -l token (commandline -ct)
    set -l found (__fish_complete_suffix $token .safe)
    if test (count $found) -gt 0
        printf '%s\n' $found
    else
        __fish_complete_path $token
    end
end

# True when the agent subcommand has no action yet.
function __kel_safe_agent_needs_action
    set -l words (commandline -opc)
    contains -- agent $words; or return 1
    for action in start stop status
        contains -- $action $words; and return 1
    end
    return 0
end

complete -c kel-safe -f
complete -c kel-safe -s s -l store -r -f -a '(__kel_safe_stores)' -d 'The store file'
complete -c kel-safe -l password-file -r -F -d 'Read the store password from FILE'
complete -c kel-safe -l password-fd -x -d 'Read the store password from descriptor N'
complete -c kel-safe -n 'not __fish_seen_subcommand_from grant' -l identity -r -F -d 'Open through a recipient slot with the identity in FILE'
complete -c kel-safe -n 'not __fish_seen_subcommand_from grant' -l key-file -r -F -d 'Open through a password-and-key-file slot with FILE'
complete -c kel-safe -s q -l quiet -d 'Print no notes, only failures'
complete -c kel-safe -s h -l help -d 'Print help and exit'
complete -c kel-safe -l version -d 'Print the version and exit'

set -l no_command "not __fish_seen_subcommand_from $kel_safe_commands"
complete -c kel-safe -n $no_command -a create -d 'Make a new, empty store'
complete -c kel-safe -n $no_command -a verify -d 'Check the password'
complete -c kel-safe -n $no_command -a passwd -d 'Change the store password, key derivation or store key'
complete -c kel-safe -n $no_command -a keygen -d 'Make an identity for a recipient slot'
complete -c kel-safe -n $no_command -a grant -d 'Add a key slot (recipient, password, or password and key file)'
complete -c kel-safe -n $no_command -a slots -d 'List the key slots'
complete -c kel-safe -n $no_command -a revoke -d 'Remove a key slot and draw a new store key'
complete -c kel-safe -n $no_command -a add -d 'Store a value under NAME'
complete -c kel-safe -n $no_command -a get -d 'Write the value of NAME'
complete -c kel-safe -n $no_command -a edit -d 'Open the value of NAME in the editor'
complete -c kel-safe -n $no_command -a exists -d 'Exit 0 when NAME is stored'
complete -c kel-safe -n $no_command -a ls -d 'List the stored names'
complete -c kel-safe -n $no_command -a find -d 'List the names that contain PATTERN or match it as a glob'
complete -c kel-safe -n $no_command -a merge -d 'Bring the entries of another store into this one'
complete -c kel-safe -n $no_command -a merge-driver -d 'git merge driver for store files (%O %A %B)'
complete -c kel-safe -n $no_command -a otp -d 'Print the current one-time code of NAME'
complete -c kel-safe -n $no_command -a mv -d 'Rename an entry'
complete -c kel-safe -n $no_command -a cp -d 'Store a value under a new name as well'
complete -c kel-safe -n $no_command -a rm -d 'Remove entries'
complete -c kel-safe -n $no_command -a check -d 'Authenticate every name and value'
complete -c kel-safe -n $no_command -a repair -d 'Keep every entry that authenticates'
complete -c kel-safe -n $no_command -a upgrade -d 'Rewrite a format-1 store as format 2 (Argon2id)'
complete -c kel-safe -n $no_command -a export -d 'Write entries in clear'
complete -c kel-safe -n $no_command -a import -d 'Add entries from JSON, dotenv or a directory'
complete -c kel-safe -n $no_command -a generate -d 'Store a new random value'
complete -c kel-safe -n $no_command -a run -d 'Run a command with secrets in its environment'
complete -c kel-safe -n $no_command -a shell -d 'Work on the store interactively'
complete -c kel-safe -n $no_command -a agent -d 'Keep the store open for later commands'
complete -c kel-safe -n $no_command -a version -d 'Print the versions'
complete -c kel-safe -n $no_command -a help -d 'Show the help of a subcommand'
complete -c kel-safe -n '__fish_seen_subcommand_from help' -x -a "$kel_safe_commands"

complete -c kel-safe -n '__fish_seen_subcommand_from create' -l generate-password -d 'Make and print a random store password'
complete -c kel-safe -n '__fish_seen_subcommand_from create' -l group -d 'Let the group read and write the store'
complete -c kel-safe -n '__fish_seen_subcommand_from create' -l format -x -a '1 2' -d 'Store format'
complete -c kel-safe -n '__fish_seen_subcommand_from create upgrade passwd' -l kdf-time -x -d 'Calibrate Argon2id to MS milliseconds of CPU time'
complete -c kel-safe -n '__fish_seen_subcommand_from create upgrade passwd' -l kdf-memory -x -d 'Argon2id memory in MiB'
complete -c kel-safe -n '__fish_seen_subcommand_from create upgrade passwd' -l kdf-lanes -x -d 'Argon2id lanes'
complete -c kel-safe -n '__fish_seen_subcommand_from passwd' -l rotate-key -d 'Draw a new store key and seal every entry again'
complete -c kel-safe -n '__fish_seen_subcommand_from passwd' -l recalibrate -d 'Calibrate Argon2id again'
complete -c kel-safe -n '__fish_seen_subcommand_from create upgrade passwd' -l kdf-passes -x -d 'Argon2id passes'
complete -c kel-safe -n '__fish_seen_subcommand_from passwd' -l new-password-file -r -F -d 'Read the new password from FILE'
complete -c kel-safe -n '__fish_seen_subcommand_from passwd' -l new-password-fd -x -d 'Read the new password from descriptor N'
complete -c kel-safe -n '__fish_seen_subcommand_from keygen' -s o -l output -r -F -d 'Write the identity to a new FILE'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l recipient -x -d 'A recipient slot for the public key PUBKEY'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l password -d 'A password slot'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l key-file -r -F -d 'A slot for a new password and FILE together'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l label -x -d 'A name for the slot'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l new-password-file -r -F -d 'Read the new password from FILE'
complete -c kel-safe -n '__fish_seen_subcommand_from grant' -l new-password-fd -x -d 'Read the new password from descriptor N'
complete -c kel-safe -n '__fish_seen_subcommand_from revoke' -s y -l yes -d 'Do not ask for confirmation'
complete -c kel-safe -n '__fish_seen_subcommand_from passwd add edit mv cp rm import generate upgrade revoke' -l drop-backup -d 'Delete the backup afterwards'
complete -c kel-safe -n '__fish_seen_subcommand_from add' -s f -l file -r -F -d 'Import the content of PATH'
complete -c kel-safe -n '__fish_seen_subcommand_from add generate import mv cp' -l replace -d 'Replace stored values'
complete -c kel-safe -n '__fish_seen_subcommand_from add' -l replace-or-add -d 'Replace, or add when absent'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -s o -l output -r -F -d 'Write to a new FILE'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l force -d 'Let -o replace an existing file'
complete -c kel-safe -n '__fish_seen_subcommand_from get export check ls slots' -l json -d 'JSON output'
complete -c kel-safe -n '__fish_seen_subcommand_from get export' -l env -d 'Dotenv lines'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l as -x -d 'Print NAME as the variable VAR (VAR=NAME)'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l clip -d 'Copy the value to the clipboard'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l clear-after -x -a '45s 2m 0' -d 'Empty the clipboard after D unless changed'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l qr -d 'Draw the value as a QR code on the terminal'
complete -c kel-safe -n '__fish_seen_subcommand_from edit' -l allow-disk -d 'Let the plain text lie on a disk-backed folder'
complete -c kel-safe -n '__fish_seen_subcommand_from ls' -s l -l long -d 'Show value lengths'
complete -c kel-safe -n '__fish_seen_subcommand_from ls' -s 0 -l null -d 'End names with a zero byte'
complete -c kel-safe -n '__fish_seen_subcommand_from ls' -s b -l escape -d 'Escape control bytes in names'
complete -c kel-safe -n '__fish_seen_subcommand_from ls' -s N -l literal -d 'Print names byte for byte'
complete -c kel-safe -n '__fish_seen_subcommand_from find' -s l -l long -d 'Show value lengths'
complete -c kel-safe -n '__fish_seen_subcommand_from find' -l json -d 'JSON output'
complete -c kel-safe -n '__fish_seen_subcommand_from find' -s 0 -l null -d 'End names with a zero byte'
complete -c kel-safe -n '__fish_seen_subcommand_from find' -s b -l escape -d 'Escape control bytes in names'
complete -c kel-safe -n '__fish_seen_subcommand_from find' -s N -l literal -d 'Print names byte for byte'
complete -c kel-safe -n '__fish_seen_subcommand_from get' -l line -x -d 'Print only line N of the value'
complete -c kel-safe -n '__fish_seen_subcommand_from otp' -l at -x -d 'The code for this time (seconds since 1970)'
complete -c kel-safe -n '__fish_seen_subcommand_from export' -l dir -x -a '(__fish_complete_directories)' -d 'One file per entry in the new DIR'
complete -c kel-safe -n '__fish_seen_subcommand_from export run' -l prefix -x -d 'Only names that begin with P'
complete -c kel-safe -n '__fish_seen_subcommand_from export' -s y -l yes -d 'Do not ask for confirmation'
complete -c kel-safe -n '__fish_seen_subcommand_from import' -l json -r -F -d 'A JSON object of names and values'
complete -c kel-safe -n '__fish_seen_subcommand_from import' -l env -r -F -d 'Dotenv lines'
complete -c kel-safe -n '__fish_seen_subcommand_from import' -l dir -x -a '(__fish_complete_directories)' -d 'Every regular file below DIR'
complete -c kel-safe -n '__fish_seen_subcommand_from generate' -s l -l length -x -d 'Number of characters'
complete -c kel-safe -n '__fish_seen_subcommand_from generate' -l charset -x -a 'upper lower digit symbol upper,lower,digit,symbol' -d 'Classes to draw from'
complete -c kel-safe -n '__fish_seen_subcommand_from generate' -l print -d 'Also write the value to standard output'
complete -c kel-safe -n '__fish_seen_subcommand_from run' -l env -x -d 'The entry ENTRY as the variable NAME (NAME=ENTRY)'
complete -c kel-safe -n '__fish_seen_subcommand_from run; and contains -- -- (commandline -opc)' -F -a '(__fish_complete_subcommand --fcs-skip=2)'
complete -c kel-safe -n '__fish_seen_subcommand_from shell' -l timeout -x -d 'Lock after this many idle seconds'
complete -c kel-safe -n '__kel_safe_agent_needs_action' -a 'start stop status'
complete -c kel-safe -n '__fish_seen_subcommand_from agent; and __fish_seen_subcommand_from start' -l timeout -x -d 'Stop after this many idle seconds'
complete -c kel-safe -n '__fish_seen_subcommand_from merge' -l prefer -x -a 'ours theirs' -d 'Whose value keeps a name whose values differ'
complete -c kel-safe -n '__fish_seen_subcommand_from merge' -l other-password-file -r -F -d 'Read the password of OTHER from FILE'
complete -c kel-safe -n '__fish_seen_subcommand_from merge' -l drop-backup -d 'Delete the backup afterwards'
complete -c kel-safe -n '__fish_seen_subcommand_from merge merge-driver' -F
