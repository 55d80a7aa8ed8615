# bash completion for kel-safe                             -*- shell-script -*-
# Completes subcommands, their options and store paths. Entry names are
# not completed: listing them needs the store password.

# Files (compgen -f) or directories (compgen -d) that begin with $2, one
# reply each: names are split at line ends only, so spaces survive.
_kel_safe_files()
{
    local IFS=$'\n'
    COMPREPLY=($(compgen "$1" -- "$2"))
    compopt -o filenames 2>/dev/null
}

# Files for -s: *.safe files and directories, or any file when no store is
# there to offer.
_kel_safe_stores()
{
    local cur=$1
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -X '!*.safe' -- "$cur") $(compgen -d -- "$cur"))
    if [[ ${#COMPREPLY[@]} -eq 0 ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}

_kel_safe()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    [[ $COMP_CWORD -gt 0 ]] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local IFS=$' \t\n'

    local global_options="-s --store --password-file --password-fd --identity --key-file -q --quiet
        -h --help --version"
    local commands="create verify passwd keygen grant slots revoke add get edit exists ls find otp mv cp rm merge merge-driver
        check repair upgrade export import generate run shell agent version help"

    # The subcommand (and the agent's action), and whether "--" came.
    local command= action= dashdash= i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $dashdash ]]; then
            continue
        fi
        case $word in
            -s | --store | --password-file | --password-fd | --identity | --key-file)
                ((i++))
                continue
                ;;
            --)
                [[ -n $command ]] && dashdash=$i
                continue
                ;;
            -*) continue ;;
        esac
        if [[ -z $command ]]; then
            command=$word
        elif [[ ( $command == agent || $command == help ) && -z $action ]]; then
            action=$word
        fi
    done

    # After "run ... --": a command, then its own arguments.
    if [[ $command == run && -n $dashdash ]]; then
        if ((COMP_CWORD == dashdash + 1)); then
            COMPREPLY=($(compgen -c -- "$cur"))
        else
            _kel_safe_files -f "$cur"
        fi
        return 0
    fi

    case $prev in
        -s | --store)
            _kel_safe_stores "$cur"
            return 0
            ;;
        --password-file | --new-password-file | -f | --file | -o | --output | --identity | --key-file)
            _kel_safe_files -f "$cur"
            return 0
            ;;
        --json | --env)
            if [[ $command == import ]]; then
                _kel_safe_files -f "$cur"
                return 0
            fi
            ;;
        --dir)
            _kel_safe_files -d "$cur"
            return 0
            ;;
        --clear-after)
            COMPREPLY=($(compgen -W "45s 2m 0" -- "$cur"))
            return 0
            ;;
        --charset)
            COMPREPLY=($(compgen -W "upper lower digit symbol upper,lower,digit,symbol" -- "$cur"))
            return 0
            ;;
        --password-fd | --new-password-fd | -l | --length | --timeout | --prefix | --as)
            return 0
            ;;
        --line | --at | --recipient | --label)
            return 0
            ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global_options" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return 0
    fi

    local options=
    case $command in
        create) options="--generate-password --group --format --kdf-time --kdf-memory --kdf-passes --kdf-lanes" ;;
        upgrade) options="--kdf-time --kdf-memory --kdf-passes --kdf-lanes --drop-backup" ;;
        passwd)
            options="--new-password-file --new-password-fd --drop-backup --rotate-key --kdf-time
                --kdf-memory --kdf-passes --kdf-lanes --recalibrate" ;;
        keygen) options="-o --output" ;;
        grant) options="--recipient --password --key-file --label --new-password-file --new-password-fd" ;;
        slots) options="--json" ;;
        revoke) options="-y --yes --drop-backup" ;;
        add) options="-f --file --replace --replace-or-add --drop-backup" ;;
        get) options="-o --output --force --json --env --as --line --clip --clear-after --qr" ;;
        edit) options="--allow-disk --drop-backup" ;;
        ls) options="-l --long --json -0 --null -b --escape -N --literal" ;;
        find) options="-l --long --json -0 --null -b --escape -N --literal" ;;
        otp) options="--at" ;;
        mv | cp) options="--replace --drop-backup" ;;
        rm) options="--drop-backup" ;;
        merge)
            case $prev in
                --prefer) COMPREPLY=($(compgen -W "ours theirs" -- "$cur")); return 0 ;;
                --other-password-file) COMPREPLY=($(compgen -f -- "$cur")); return 0 ;;
            esac
            options="--prefer --other-password-file --drop-backup"
            [[ $cur != -* ]] && COMPREPLY=($(compgen -f -- "$cur")) && return 0 ;;
        merge-driver) [[ $cur != -* ]] && COMPREPLY=($(compgen -f -- "$cur")) && return 0 ;;
        check) options="--json" ;;
        export) options="--json --env --dir --prefix -y --yes" ;;
        import) options="--json --env --dir --replace --drop-backup" ;;
        generate) options="-l --length --charset --print --replace --drop-backup" ;;
        run) options="--prefix --env --" ;;
        shell) options="--timeout" ;;
        help)
            [[ -z $action ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            return 0
            ;;
        agent)
            if [[ -z $action ]]; then
                COMPREPLY=($(compgen -W "start stop status" -- "$cur"))
                return 0
            fi
            [[ $action == start ]] && options="--timeout"
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $global_options" -- "$cur"))
    fi
    return 0
}

complete -F _kel_safe kel-safe
