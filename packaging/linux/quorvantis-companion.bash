# bash completion for quorvantis-companion: its subcommands and their options.
_quorvantis_companion()
{
    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD-1]}
    local commands="status doctor restart recheck update export-diagnostics show quit language"
    local command="" word index
    for ((index = 1; index < COMP_CWORD; index++)); do
        word=${COMP_WORDS[index]}
        if [[ $word == --resources ]]; then
            ((index++))
        elif [[ $word != -* ]]; then
            command=$word
            break
        fi
    done
    if [[ $previous == --resources ]]; then
        COMPREPLY=($(compgen -d -- "$current"))
        return
    fi
    case $command in
        "")
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--help --version --resources" -- "$current"))
            else
                COMPREPLY=($(compgen -W "$commands" -- "$current"))
            fi
            ;;
        status) COMPREPLY=($(compgen -W "--json" -- "$current")) ;;
        language)
            if [[ $previous == language ]]; then
                COMPREPLY=($(compgen -W "zh_CN en system" -- "$current"))
            else
                COMPREPLY=()
            fi
            ;;
        export-diagnostics)
            if [[ $current == -* ]]; then
                COMPREPLY=()
            else
                COMPREPLY=($(compgen -f -X '!*.tar' -- "$current") $(compgen -d -- "$current"))
            fi
            ;;
        *) COMPREPLY=() ;;
    esac
}
complete -F _quorvantis_companion quorvantis-companion
