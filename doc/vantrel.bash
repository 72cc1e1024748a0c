# SPDX-License-Identifier: MIT
# Copyright (c) 2026 the Vantrel developers
# Completion of Vantrel's and vantrel's command lines in bash: the options
# while they are taken, then favourites files (*.sfv, in any case) and
# folders. bash-completion loads it by the command's name; zsh takes it
# after "autoload -U compinit bashcompinit && compinit && bashcompinit".

_vantrel()
{
	local word options=yes IFS=$'\n'
	for word in "${COMP_WORDS[@]:1:$((COMP_CWORD - 1))}"; do
		[ "$word" = -- ] && options=
	done
	if [ -n "$options" ] && [[ $2 == -* ]]; then
		COMPREPLY=($(compgen -W $'-i\n-n\n-l\n-v\n-V\n--\n--help\n--version' -- "$2"))
	else
		COMPREPLY=($(compgen -f -X '!*.[Ss][Ff][Vv]' -- "$2") $(compgen -d -- "$2"))
	fi
}
complete -o filenames -F _vantrel Vantrel vantrel
