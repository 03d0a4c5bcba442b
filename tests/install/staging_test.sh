#!/bin/sh
# `cmake --install` into DESTDIR staging trees: every file in its place with
# sane modes, the udev rule naming the helper where it was installed, one
# version on the help screen and in the man page, and both programs hardened.
# usage: staging_test.sh CMAKE BUILD_DIR UDEVDIR VERSION COMPLETIONSDIR GROUP SOURCE_DIR
cmake=$1 build=$2 udevdir=$3 version=$4 completionsdir=$5 group=$6 source=$7
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
$prefix/share/doc/velorin/usbip.md|644
$prefix/share/lintian/overrides/velorin|644
$rules/60-velorin.rules|644
$(completions_dir "$prefix")/velorin|644"
	expect_tree "$prefix ($component)" "$stage" "$expected"
	# No folder or file writable by group or others.
	check "$prefix: nothing group or world writable" \
		[ -z "$(find "$stage" -perm /022 -print)" ]
	# `xargs rm < build/install_manifest.txt` uninstalls: the manifest lists
	# every file installed (folders stay).
	if [ "$component" = all ]; then manifest=install_manifest.txt; else manifest=install_manifest_$component.txt; fi
	sed "s|^$stage||" "$build/$manifest" | sort >"$work/manifest"
	check "$prefix ($component): $manifest lists every installed file" cmp -s "$work/want" "$work/manifest"

	# The rule runs the helper by the path it was installed to (which the
	# file list above holds, mode 755).
	rule=$stage$rules/60-velorin.rules
	helper=$(sed -n 's/.*RUN+="\([^ "]*\) %S%p".*/\1/p' "$rule")
	check "$prefix: rule runs $prefix/libexec/velorin-record" \
		[ "$helper" = "$prefix/libexec/velorin-record" ]
	# It gives the switches to the configured group, which the man page names.
	check "$prefix: rule gives the switches to $group" \
		[ "$(grep -c "MODE=\"0660\", GROUP=\"$group\"," "$rule")" = 1 ]
	gzip -dc "$stage$prefix/share/man/man1/velorin.1.gz" >"$work/man"
	check "$prefix: man page names the group $group" grep -q "^usermod .*-aG $group " "$work/man"

	# The help screen and the man page show the project's MAJOR.MINOR.
	shown=$(echo "$version" | cut -d. -f1,2)
	help=$("$stage$prefix/bin/velorin" /H | sed -n 's/^Version //p')
	man=$(gzip -dc "$stage$prefix/share/man/man1/velorin.1.gz" |
		sed -n 's/^\.TH VELORIN 1 "[^"]*" "velorin \([^"]*\)".*/\1/p')
	check "$prefix: velorin /H shows version $shown (got '$help')" [ "$help" = "$shown" ]
	check "$prefix: man page shows version $shown (got '$man')" [ "$man" = "$shown" ]
done

# The lab modules with their metadata, where Debian's python3 looks for them
# with --prefix /usr, and their manifest.
lab=$work/stage_lab
DESTDIR=$lab "$cmake" --install "$build" --prefix /usr --component lab >"$work/log" 2>&1
expect_status "install --component lab" 0 $?
python=/usr/lib/python3/dist-packages
# Exactly the modules, their metadata and documents, all 644.
expect_tree lab "$lab" "$(printf '%s|644\n' $python/velorin_labgrid.py $python/velorin_pdudaemon.py $python/velorin_tool.py \
	$python/velorin_lab-"$version".dist-info/METADATA $python/velorin_lab-"$version".dist-info/entry_points.txt \
	/usr/share/doc/velorin-lab/copyright /usr/share/doc/velorin-lab/changelog.Debian.gz /usr/share/doc/velorin-lab/lab.md \
	/usr/share/lintian/overrides/velorin-lab)"
sed "s|^$lab||" "$build/install_manifest_lab.txt" | sort >"$work/manifest"
check "lab: install_manifest_lab.txt lists every installed file" cmp -s "$work/want" "$work/manifest"

# The group is the one configured: the rule as the install step writes it for
# another group, and a value that is no group name stops the configuration
# (it would be written into the rule and the man page as it is).
DESTDIR=$work/other "$cmake" -DVELORIN_RULE_TEMPLATE="$source/packaging/60-velorin.rules.in" \
	-DVELORIN_RULE_STAGE="$work/rule" -DVELORIN_LIBEXECDIR=libexec -DVELORIN_UDEVDIR=lib/udev \
	-DVELORIN_GROUP=dialout -DCMAKE_INSTALL_PREFIX=/usr -P "$source/packaging/install-udev-rule.cmake" >"$work/log" 2>&1
expect_status "rule written for the group dialout" 0 $?
check "rule for dialout gives the switches to dialout only" \
	[ "$(grep -o 'GROUP="[^"]*"' "$work/other/usr/lib/udev/rules.d/60-velorin.rules")" = 'GROUP="dialout"' ]
while IFS='|' read -r value; do
	"$cmake" -S "$source" -B "$work/bad" -DVELORIN_BUILD_TESTS=OFF "-DVELORIN_GROUP=$value" >"$work/log" 2>&1
	expect_status "configuring with VELORIN_GROUP=[$value] fails" 1 $?
	check "configuring with VELORIN_GROUP=[$value] says why" grep -q "is not a group name" "$work/log"
	rm -rf "$work/bad"
done <<'ROWS'
plug"dev
plugdev", MODE="0666
Plugdev

a23456789012345678901234567890123
ROWS

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
# options and their values in either case, and after /N= (any one-byte separator) the serial numbers of at
# most 8 bytes the installed tool lists, quoted for the shell (and for a
# quote left open), with the record in a fixture. In the C locale and in
# UTF-8, where bash counts characters rather than bytes.
completion=$stage$(completions_dir "$prefix")/velorin
mkdir -p "$work/record" "$work/devices"
# shellcheck disable=SC2016 # serial numbers that look like shell code
printf 'AB12CD34\nAB99\nAB9999999\nEF56GH78\n$(a) ;>b\n%s\n' "a'b!\"c" >"$work/record/installed"
complete_line() {
	# shellcheck disable=SC2016 # expanded by the inner bash
	got=$("$(dirname "$0")/../support/with_fixture.sh" "$work/record" "$work/devices" -- bash -c '
		shopt -s nullglob
		. "$1" && complete -p velorin | grep -q -- "-F _velorin velorin$" || exit 1
		COMP_LINE=$3 COMP_POINT=${#3}
		_velorin "$2" && printf "[%s]" "${COMPREPLY[@]}"' sh "$completion" "$stage$prefix/bin/velorin" "$1")
}
for LC_ALL in C C.UTF-8; do
	export LC_ALL
	while IFS='|' read -r line want; do
		complete_line "$line"
		check "completion of [$line] ($LC_ALL): [$got]" [ "$got" = "$want" ]
	done <<'ROWS'
velorin |[/H][/?][/L][/A][/N=][/S=on][/S=off][/S=query]
velorin /|[/H][/?][/L][/A][/N=][/S=on][/S=off][/S=query]
velorin /L /S|[/S=on][/S=off][/S=query]
velorin /S=o|[on][off]
velorin /s=|[on][off][query]
velorin /S=O|[On][Off]
velorin /s|[/s=on][/s=off][/s=query]
velorin /l|[/l]
velorin /n|[/n=]
velorin /S=x|[]
velorin "/S=o|[/S=on][/S=off]
velorin /N=|[AB12CD34][AB99][EF56GH78][\$\(a\)\ \;\>b][a\'b\!\"c]
velorin /N=AB|[AB12CD34][AB99]
velorin /n:EF|[EF56GH78]
velorin /N=$|[\$\(a\)\ \;\>b]
velorin /N=\$\(a\)\ |[\$\(a\)\ \;\>b]
velorin /N=X|[]
velorin /N="E|[EF56GH78]
velorin /N='E|[EF56GH78]
velorin /N=A"B1|[B12CD34]
velorin "/N=AB9|[/N=AB99]
velorin /N="AB"1|[AB12CD34]
velorin /N="$|[\$(a) ;>b]
velorin /N='$|[$(a) ;>b]
velorin /N="a'|[a'b"\!"\"c]
velorin /N='a|[a'\''b!"c]
velorin /N="a |[]
velorin /N='AB |[]
velorin /N=AB\|[]
velorin /NéA|[]
velorin /N=é|[]
velorin /Né|[]
ROWS
done
unset LC_ALL
# What the completion inserts after the part readline keeps (and the quote
# readline closes after a single reply) is read back by the shell as the
# serial number (in the scratch folder: a reply left unquoted would run
# there). Each row: kept | line | closing quote | serial number.
while IFS='|' read -r kept line close serial; do
	complete_line "$line"
	reply=${got#[}
	got=$(cd "$work" && eval "set -- $kept${reply%]}$close" && printf '%s.%s' "$#" "${1-}")
	check "completed [$line] is one word, as recorded: $got" [ "$got" = "1./N=$serial" ]
done <<'ROWS'
/N=|velorin /N=$||$(a) ;>b
/N="|velorin /N="$|"|$(a) ;>b
/N='|velorin /N='$|'|$(a) ;>b
/N=|velorin /N=a||a'b!"c
/N="|velorin /N="a|"|a'b!"c
/N='|velorin /N='a|'|a'b!"c
ROWS

# A Tab on a very long line answers at once: the scan does a fixed amount of
# work per character. The bound is for a loaded machine; it is the line four
# times as long that tells a scan which copies the line for every character
# (32,000 characters took it seconds, so that one minutes).
for units in 3199 12700; do
	long=$(printf "%0${units}d" 0 | sed 's/0/ab\\ "c d" /g')
	line="velorin $long/N=AB"
	started=$(date +%s%N)
	complete_line "$line"
	took=$((($(date +%s%N) - started) / 1000000))
	echo "completion of a ${#line}-character line: $took ms"
	check "completion of a ${#line}-character line: [$got]" [ "$got" = "[AB12CD34][AB99]" ]
	check "completion of a ${#line}-character line within 10 s (took $took ms)" [ "$took" -lt 10000 ]
done

finish
