#!/bin/sh
# `cmake --install` into DESTDIR staging trees: every file in its place with
# sane modes, the udev rule naming the helper where it was installed, one
# version on the help screen and in the man page, and both programs hardened.
# usage: staging_test.sh CMAKE BUILD_DIR UDEVDIR VERSION COMPLETIONSDIR
cmake=$1 build=$2 udevdir=$3 version=$4 completionsdir=$5
. "$(dirname "$0")/lib.sh"

# rules_dir PREFIX: where the rule goes for that prefix.
rules_dir() {
	case $udevdir in
	/*) echo "$udevdir/rules.d" ;;
	*) echo "$1/$udevdir/rules.d" ;;
	esac
}
# completions_dir PREFIX: where the bash completion goes for that prefix.
completions_dir() {
	case $completionsdir in
	/*) echo "$completionsdir" ;;
	*) echo "$1/$completionsdir" ;;
	esac
}

# Each pass: PREFIX/COMPONENT ("all": the plain install). Both the plain
# install and the component "velorin" (what the package holds) are exactly
# the files below; the virtual switch is installed only when asked for.
for pass in /usr/all /usr/velorin /opt/velorin/velorin; do
	prefix=${pass%/*} component=${pass##*/}
	stage=$work/stage$(echo "$pass" | tr / _)
	if [ "$component" = all ]; then
		DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$work/log" 2>&1
	else
		DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" --component "$component" >"$work/log" 2>&1
	fi
	expect_status "install --prefix $prefix ($component)" 0 $?
	rules=$(rules_dir "$prefix")

	# Each row: file | mode.
	expected="$prefix/bin/velorin|755
$prefix/libexec/velorin-record|755
$prefix/share/man/man1/velorin.1.gz|644
$prefix/share/doc/velorin/copyright|644
$prefix/share/doc/velorin/changelog.Debian.gz|644
$prefix/share/lintian/overrides/velorin|644
$rules/60-velorin.rules|644
$(completions_dir "$prefix")/velorin|644"
	while IFS='|' read -r file mode; do
		check "$prefix: $file mode $mode" [ "$(mode_of "$stage$file")" = "$mode" ]
	done <<-ROWS
	$expected
	ROWS

	# Nothing else, and no folder or file writable by group or others.
	(cd "$stage" && find . -type f | sed 's/^\.//' | sort) >"$work/files"
	printf '%s\n' "$expected" | cut -d'|' -f1 | sort >"$work/want"
	check "$prefix ($component): no other files" cmp -s "$work/want" "$work/files"
	check "$prefix: nothing group or world writable" \
		[ -z "$(find "$stage" -perm /022 -print)" ]

	# The rule runs the helper by the path it was installed to (which the
	# file list above holds, mode 755).
	rule=$stage$rules/60-velorin.rules
	helper=$(sed -n 's/.*RUN+="\([^ "]*\) %S%p".*/\1/p' "$rule")
	check "$prefix: rule runs $prefix/libexec/velorin-record" \
		[ "$helper" = "$prefix/libexec/velorin-record" ]

	# The help screen and the man page show the project's MAJOR.MINOR.
	shown=$(echo "$version" | cut -d. -f1,2)
	help=$("$stage$prefix/bin/velorin" /H | sed -n 's/^Version //p')
	man=$(gzip -dc "$stage$prefix/share/man/man1/velorin.1.gz" |
		sed -n 's/^\.TH VELORIN 1 "[^"]*" "velorin \([^"]*\)".*/\1/p')
	check "$prefix: velorin /H shows version $shown (got '$help')" [ "$help" = "$shown" ]
	check "$prefix: man page shows version $shown (got '$man')" [ "$man" = "$shown" ]
done

# Both installed programs as Debian hardens them: position-independent,
# relocations read-only and bound at start-up, the stack protector in use.
for program in bin/velorin libexec/velorin-record; do
	elf=$stage$prefix/$program
	readelf -hldW --dyn-syms "$elf" >"$work/elf"
	check "$program is PIE" grep -Eq '^ *Type: +DYN ' "$work/elf"
	check "$program has RELRO" grep -q ' GNU_RELRO ' "$work/elf"
	check "$program binds now" grep -Eq '\(FLAGS\) +BIND_NOW' "$work/elf"
	check "$program calls __stack_chk_fail or a fortified __*_chk" \
		grep -Eq ' UND __(stack_chk_fail|[A-Za-z0-9_]+_chk)(@| |$)' "$work/elf"
done

# The installed bash completion, loaded as bash-completion loads it and run
# as bash runs it on Tab (with nullglob, which must not lose /?): the
# options, and after /N= (any separator) the serial numbers of at most 8
# bytes the installed tool lists, quoted for the shell, with the record in a
# fixture.
completion=$stage$(completions_dir "$prefix")/velorin
mkdir -p "$work/record" "$work/devices"
# shellcheck disable=SC2016 # a serial number that looks like shell code
printf 'AB12CD34\nAB99\nAB9999999\nEF56GH78\n$(a) ;>b\n' >"$work/record/installed"
complete_line() {
	# shellcheck disable=SC2016 # expanded by the inner bash
	got=$("$(dirname "$0")/../support/with_fixture.sh" "$work/record" "$work/devices" -- bash -c '
		shopt -s nullglob
		. "$1" && complete -p velorin | grep -q -- "-F _velorin velorin$" || exit 1
		COMP_LINE=$3 COMP_POINT=${#3}
		_velorin "$2" && printf "[%s]" "${COMPREPLY[@]}"' sh "$completion" "$stage$prefix/bin/velorin" "$1")
}
while IFS='|' read -r line want; do
	complete_line "$line"
	check "completion of [$line]: [$got]" [ "$got" = "$want" ]
done <<'ROWS'
velorin |[/H][/?][/L][/A][/N=][/S=on][/S=off][/S=query]
velorin /|[/H][/?][/L][/A][/N=][/S=on][/S=off][/S=query]
velorin /L /S|[/S=on][/S=off][/S=query]
velorin /S=o|[on][off]
velorin /N=|[AB12CD34][AB99][EF56GH78][\$\(a\)\ \;\>b]
velorin /N=AB|[AB12CD34][AB99]
velorin /n:EF|[EF56GH78]
velorin /N=$|[\$\(a\)\ \;\>b]
velorin /N=\$\(a\)\ |[\$\(a\)\ \;\>b]
velorin /N=X|[]
ROWS
# What the completion inserts is read back by the shell as the serial number
# (in the scratch folder: a reply left unquoted would run there).
complete_line 'velorin /N=$'
reply=${got#[}
got=$(cd "$work" && eval "set -- ${reply%]}" && printf '%s.%s' "$#" "${1-}")
# shellcheck disable=SC2016
check "completed serial number is one word, as recorded: $got" [ "$got" = '1.$(a) ;>b' ]

finish
