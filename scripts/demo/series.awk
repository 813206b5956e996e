# Turns the sampler's lines ("SECONDS SAMPLE", see sample.sh) into gnuplot
# data in the current directory:
#   host.dat    SECONDS IDLE_AVERAGE CLASS1_RATE_LIMIT IDLE_LAST_TICK BAND_MIN
#               BAND_MAX CLASS_MOVE_IDLE OVERLOAD_BOUND CLASS2_RATE_LIMIT, one
#               row a tick; in a dry run the limit is the one it would have
#               set (the kernel's stays where it was), and the thresholds are
#               each tick's, as a reload may change them
#   class2.gp   sets `class2_moved` to 1 when the class-2 rate limit changed
#   vm-N.dat    SECONDS LOAD CLASS for the Nth VM seen (blank line while absent)
#   service-N.dat SECONDS SHARE WAKE_P99_MS for the Nth VM seen, from the
#               simulator's probe lines ("service NAME key value ...", see
#               vmmsim stats --service) sampled with the tick
#   moves.dat   SECONDS LOAD N TO_CLASS for every class change of a VM
#   expected.dat SECONDS LOAD N for every countdown to MINER that starts
#               (the daemon's "expected as MINER")
#   host.gp, vms.gp  the plot commands of the host and VM panels
#   moves.gp    a dotted line at each move, for every panel
#   labels.gp   what moved at each dotted line, for the host panel
#   share.gp, wake.gp  the plot commands of the service panels
#   services.gp sets `services` to the number of VMs with service figures
# Missing values are NaN, which gnuplot leaves out. Thresholds that the
# samples lack are taken from -v band_min, band_max, class_idle and
# overload_bound where given.

# Splits one exposition-format sample into sample_name, label[] (unescaped)
# and sample_value; 0 when the line is not a sample.
function parse_sample(s,    i, n, c, key, val, parts) {
    for (key in label) delete label[key]
    n = length(s)
    i = 1
    while (i <= n && substr(s, i, 1) !~ /[{ \t]/) i++
    sample_name = substr(s, 1, i - 1)
    if (substr(s, i, 1) == "{") {
        i++
        for (;;) {
            while (i <= n && substr(s, i, 1) ~ /[ \t,]/) i++
            if (i > n) return 0
            if (substr(s, i, 1) == "}") { i++; break }
            key = ""
            while (i <= n && (c = substr(s, i, 1)) != "=") { key = key c; i++ }
            i++
            if (substr(s, i, 1) != "\"") return 0
            i++
            val = ""
            while (i <= n && (c = substr(s, i, 1)) != "\"") {
                if (c == "\\") {
                    i++
                    c = substr(s, i, 1)
                    if (c == "n") c = "\n"
                }
                val = val c
                i++
            }
            if (i > n) return 0
            i++
            sub(/[ \t]+$/, "", key)
            label[key] = val
        }
    }
    if (split(substr(s, i), parts) < 1) return 0
    sample_value = parts[1]
    return sample_name != ""
}

# The same number, and so the same colour, for a VM in every panel.
function vm_index(name) {
    if (!(name in number_of)) {
        number_of[name] = ++vms
        vm_name[vms] = name
    }
    return number_of[name]
}

function vm_number(name) {
    present[vm_index(name)] = 1
    return number_of[name]
}

# "service NAME key value ...": the share in percent and the p99 wake-up
# delay in ms of one VM, "-" (nothing wanted, no wake-ups) kept as missing.
function parse_service(    i, n) {
    n = vm_index($3)
    served[n] = 1
    for (i = 4; i < NF; i += 2) {
        if ($i == "share") share[n] = $(i + 1) == "-" ? "" : $(i + 1)
        else if ($i == "wake_p99_ms") wake99[n] = $(i + 1) == "-" ? "" : $(i + 1)
    }
    # Only a VM with a figure somewhere gets a line in the service panels.
    if (!(n in ever_served) && (share[n] != "" || wake99[n] != "")) {
        ever_served[n] = 1
        services++
    }
}

function value(v) { return v == "" ? "NaN" : v }

function percent(ratio) { return sprintf("%.4g", ratio * 100) }

# A gnuplot string that shows text as it is.
function quoted(text) {
    gsub(/\n/, " ", text)
    gsub(/'/, "''", text)
    return "'" text "'"
}

# Notes a threshold's value at this tick in its key's text:
# the first value, and each one a reload changed it to after it.
function note_threshold(name, v) {
    if (v == "" || v == last_threshold[name]) return
    last_threshold[name] = v
    if (++threshold_values[name] <= 3)
        threshold_text[name] = threshold_text[name] (threshold_values[name] > 1 ? ", then " : "") v
    else if (threshold_values[name] == 4)
        threshold_text[name] = threshold_text[name] ", ..."
}

function either(sampled, given) { return sampled != "" ? sampled : given }

# Writes the tick collected so far.
function flush_tick(    i, c, lo, hi, limit) {
    if (tick == "") return
    lo = either(band_lo, band_min)
    hi = either(band_hi, band_max)
    move_idle = either(class_move, class_idle)
    bound = either(overload, overload_bound)
    limit = dry ? dry_rate1 : rate1
    if (limit != "") limits[dry ? "dry" : "set"]++
    note_threshold("band", lo != "" && hi != "" ? lo ".." hi : "")
    note_threshold("class", move_idle)
    note_threshold("bound", bound)
    print tick, value(idle), value(limit), value(idle_now), value(lo), value(hi), value(move_idle), \
        value(bound), value(rate2) > "host.dat"
    if (rate2 != "") {
        if (last_rate2 != "" && last_rate2 != rate2) class2_moved = 1
        last_rate2 = rate2
    }
    for (i = 1; i <= vms; i++) {
        if (!(i in present)) {
            if (i in drawn) print "" > ("vm-" i ".dat")
            delete drawn[i]
            continue
        }
        drawn[i] = ever_drawn[i] = 1
        print tick, value(load[i]), value(class[i]) > ("vm-" i ".dat")
        if ((i in to_miner) && !(i in was_to_miner)) {
            print tick, value(load[i]), i > "expected.dat"
            expectations++
        }
        if (class[i] == "" || class[i] + 0 < 0) continue
        c = class[i] + 0
        if ((i in last_class) && last_class[i] != c) {
            print tick, value(load[i]), i, c > "moves.dat"
            moves++
            moves_to[c == 2 ? 2 : 1]++
            move_at[moves] = tick
            move_text[moves] = vm_name[i] " to class " c
        }
        last_class[i] = c
    }
    for (i in served)
        print tick, value(share[i]), value(wake99[i]) > ("service-" i ".dat")
    idle = rate1 = rate2 = idle_now = dry_rate1 = dry = band_lo = band_hi = class_move = overload = ""
    for (i in served) delete served[i]
    for (i in share) delete share[i]
    for (i in wake99) delete wake99[i]
    for (i in was_to_miner) delete was_to_miner[i]
    for (i in to_miner) was_to_miner[i] = 1
    for (i in to_miner) delete to_miner[i]
    for (i in present) delete present[i]
    for (i in load) delete load[i]
    for (i in class) delete class[i]
}

{
    if ($1 != tick) {
        flush_tick()
        tick = $1
    }
    if ($2 == "service" && NF >= 3) {
        parse_service()
        next
    }
    if (!parse_sample(substr($0, length($1) + 2))) next
    # Shares come as ratios; the chart shows percent.
    if (sample_name == "halvorn_host_idle_average_ratio")
        idle = percent(sample_value)
    else if (sample_name == "halvorn_host_idle_ratio")
        idle_now = percent(sample_value)
    else if (sample_name == "halvorn_rate_limit_ratio" && label["class"] == "1")
        rate1 = percent(sample_value)
    else if (sample_name == "halvorn_dry_run")
        dry = sample_value == 1
    else if (sample_name == "halvorn_dry_run_rate_limit_ratio")
        dry_rate1 = percent(sample_value)
    else if (sample_name == "halvorn_idle_band_ratio" && label["bound"] == "min")
        band_lo = percent(sample_value)
    else if (sample_name == "halvorn_idle_band_ratio" && label["bound"] == "max")
        band_hi = percent(sample_value)
    else if (sample_name == "halvorn_idle_band_ratio" && label["bound"] == "class_move")
        class_move = percent(sample_value)
    else if (sample_name == "halvorn_overload_bound_ratio")
        overload = percent(sample_value)
    else if (sample_name == "halvorn_rate_limit_ratio" && label["class"] == "2")
        rate2 = percent(sample_value)
    else if (sample_name == "halvorn_vm_countdown_seconds" && label["to"] == "MINER")
        to_miner[vm_number(label["vm"])] = 1
    else if (sample_name == "halvorn_vm_load_ratio")
        load[vm_number(label["vm"])] = percent(sample_value)
    else if (sample_name == "halvorn_vm_class")
        class[vm_number(label["vm"])] = sample_value
}

END {
    flush_tick()
    printf "" > "host.dat"
    print "class2_moved = " (class2_moved ? 1 : 0) > "class2.gp"
    printf "" > "expected.dat"
    printf "" > "moves.gp"
    printf "" > "labels.gp"
    for (m = 1; m <= moves; m++) {
        print "set arrow from " move_at[m] ", graph 0 to " move_at[m] ", graph 1 nohead dt 3 lw 1.5 lc rgb 'gray30'" > "moves.gp"
        # Staggered, so that moves close together stay readable, and on the
        # inner side of the line near the right edge.
        side = move_at[m] > 0.75 * tick ? "right offset -0.5,0" : "left offset 0.5,0"
        print "set label " quoted(move_text[m]) " at " move_at[m] ", graph " (0.95 - 0.07 * ((m - 1) % 3)) " " side " font ',9' noenhanced" > "labels.gp"
    }
    # Host panel: the band behind the lines; a line's key says what it shows.
    plot = ""
    if (threshold_values["band"] > 0)
        plot = "'host.dat' using 1:5:6 with filledcurves fs solid 1.0 noborder lc rgb '#dcefdc' title " \
            quoted("idle band " threshold_text["band"] " %") ", "
    limit_key = !limits["dry"] ? "class-1 rate limit" : !limits["set"] ? "class-1 rate limit a dry run would set" : \
        "class-1 rate limit (in the dry run: would set)"
    plot = plot "'host.dat' using 1:4 with lines lw 1 lc rgb '#9ecae1' title 'host idle, last tick', " \
        "'' using 1:2 with lines lw 2.5 lc rgb '#1f77b4' title 'host idle average', " \
        "'' using 1:3 with steps lw 2.5 lc rgb '#d62728' title " quoted(limit_key)
    if (class2_moved)
        plot = plot ", '' using 1:9 with steps lw 2 lc rgb '#ff7f0e' title 'class-2 rate limit'"
    if (threshold_values["class"] > 0)
        plot = plot ", '' using 1:7 with steps dt 2 lw 1.5 lc rgb 'gray30' title " \
            quoted("class moves at or below " threshold_text["class"] " %")
    print "plot " plot > "host.gp"
    plot = ""
    for (i = 1; i <= vms; i++)
        if (i in ever_drawn)
            plot = plot (plot == "" ? "" : ", ") "'vm-" i ".dat' using 1:2 with lines lt " i " lw 2 title " quoted(vm_name[i])
    # Black markers, drawn as the key shows them; the key lists only the
    # kinds of event that happened.
    if (expectations > 0)
        plot = plot ", 'expected.dat' using 1:2 with points pt 6 ps 2 lw 2 lc rgb 'black' title 'expected as MINER'"
    if (moves_to[2] > 0)
        plot = plot ", 'moves.dat' using 1:($4 == 2 ? $2 : NaN) with points pt 11 ps 2 lc rgb 'black' title 'moved to class 2'"
    if (moves_to[1] > 0)
        plot = plot ", 'moves.dat' using 1:($4 != 2 ? $2 : NaN) with points pt 9 ps 2 lc rgb 'black' title 'moved to class 1'"
    # A VM whose vCPUs all stay at or above this line for twice the burst
    # length is a MINER. Drawn as data, the panel's range reaches it.
    if (threshold_values["bound"] > 0)
        plot = plot (plot == "" ? "" : ", ") "'host.dat' using 1:8 with steps dt 2 lw 1.5 lc rgb 'gray30' title " \
            quoted("OverloadBound " threshold_text["bound"] " %")
    if (plot == "") plot = "NaN notitle"
    print "plot " plot > "vms.gp"
    share_plot = wake_plot = ""
    for (i = 1; i <= vms; i++) {
        if (!(i in ever_served)) continue
        share_plot = share_plot (share_plot == "" ? "" : ", ") "'service-" i ".dat' using 1:2 with lines lt " i " lw 2 title " quoted(vm_name[i])
        wake_plot = wake_plot (wake_plot == "" ? "" : ", ") "'service-" i ".dat' using 1:3 with lines lt " i " lw 2 title " quoted(vm_name[i])
    }
    print "plot " (share_plot == "" ? "NaN notitle" : share_plot) > "share.gp"
    print "plot " (wake_plot == "" ? "NaN notitle" : wake_plot) > "wake.gp"
    print "services = " services + 0 > "services.gp"
}
