#!/bin/sh
# `cmake --install --component mqtt` into DESTDIR staging trees: the bridge,
# its unit naming the program where it was installed, the example
# configuration (valid as shipped) and the credentials folder only root may
# read.
# usage: mqtt_staging_test.sh CMAKE BUILD_DIR UNITDIR GROUP
cmake=$1 build=$2 unitdir=$3 group=$4
. "$(dirname "$0")/lib.sh"

for prefix in /usr /opt/velorin; do
	stage=$work/stage$(echo "$prefix" | tr / _)
	DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" --component mqtt >"$work/log" 2>&1
	expect_status "install --prefix $prefix --component mqtt" 0 $?
	case $unitdir in
	/*) unit=$unitdir/velorin-mqtt.service ;;
	*) unit=$prefix/$unitdir/velorin-mqtt.service ;;
	esac

	# Each row: path | mode.
	expected="$prefix/bin/velorin-mqtt|755
$unit|644
/etc/velorin/mqtt.conf|644
$prefix/share/man/man8/velorin-mqtt.8.gz|644"
	# Nothing else, but for what the package adds under share/ (its
	# copyright, changelog and lintian overrides).
	expect_tree "$prefix" "$stage" "$expected" "$prefix/share/"
	check "$prefix: credentials folder mode 700" [ "$(mode_of "$stage/etc/velorin/credentials")" = 700 ]

	exec_start=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$stage$unit")
	check "$prefix: unit runs $prefix/bin/velorin-mqtt (got '$exec_start')" \
		[ "$exec_start" = "$prefix/bin/velorin-mqtt" ]
	for setting in DynamicUser=yes "SupplementaryGroups=$group" ProtectSystem=strict NoNewPrivileges=yes \
		LoadCredential=mqtt:/etc/velorin/credentials; do
		check "$prefix: unit sets $setting" grep -qx "$setting" "$stage$unit"
	done
	"$stage$prefix/bin/velorin-mqtt" --check --config "$stage/etc/velorin/mqtt.conf" >"$work/out" 2>&1
	expect_status "$prefix: the example configuration passes --check" 0 $?
done
finish
