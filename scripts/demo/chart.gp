# The demo's chart, drawn from the data that series.awk leaves in the current
# directory. Set before loading: out (the PNG), chart_title. With the
# simulator's service lines in the samples, two more panels show what each
# VM got of the CPU it wanted and its wake-up delays.

load 'services.gp'
load 'class2.gp'
set terminal pngcairo size 1280,(services > 0 ? 1300 : 860) font 'DejaVu Sans,11' linewidth 1
set output out
set termoption noenhanced
set datafile missing 'NaN'

# Colours that stay apart for up to eight VMs.
set linetype 1 lc rgb '#d62728'
set linetype 2 lc rgb '#1f77b4'
set linetype 3 lc rgb '#2ca02c'
set linetype 4 lc rgb '#9467bd'
set linetype 5 lc rgb '#ff7f0e'
set linetype 6 lc rgb '#8c564b'
set linetype 7 lc rgb '#e377c2'
set linetype 8 lc rgb '#17becf'
set linetype cycle 8

stats 'host.dat' using 1 nooutput
set xrange [0:(STATS_max > 0 ? STATS_max : 1)]
set grid back lc rgb 'gray85'
set key outside right top vertical Left reverse samplen 2 font ',10'
# The same margins on both panels keep their time axes aligned.
set lmargin at screen 0.07
set rmargin at screen 0.76

# Panel p of n, from the top, between the titles and the time axis's labels
# (about 80 and 60 pixels).
panels = services > 0 ? 4 : 2
top = services > 0 ? 0.93 : 0.90
gap = services > 0 ? 0.045 : 0.06
panel_top(p, n) = top - (p - 1) * (top - 0.05) / n
panel_bottom(p, n) = top - p * (top - 0.05) / n + gap
set multiplot title chart_title font ',14'
set tmargin at screen panel_top(1, panels)
set bmargin at screen panel_bottom(1, panels)

set title class2_moved ? 'Host: idle CPU and the class-1 and class-2 rate limits' : 'Host: idle CPU and the class-1 rate limit'
set ylabel '% of CPU'
set yrange [0:105]
set format x ''
load 'moves.gp'
load 'labels.gp'
# The average is reset to the band's middle after each rate-limit step: its
# sawtooth against the idle of each tick shows why the limit moved when it did.
load 'host.gp'

unset label
set title 'VMs: mean vCPU load (run time plus throttled time)'
set ylabel 'load %'
set tmargin at screen panel_top(2, panels)
set bmargin at screen panel_bottom(2, panels)
if (services == 0) {
    set xlabel 'seconds since halvorn started'
    set format x '%g'
}
set yrange [0:*]
set autoscale ymax
set offsets 0, 0, 5, 0
load 'vms.gp'

if (services > 0) {
    unset arrow
    unset label
    set offsets 0, 0, 0, 0
    set title "VMs' service on the simulator (Linux threads on this machine, not a FreeBSD host): CPU received of what they wanted"
    set ylabel '% of wanted CPU'
    set yrange [0:105]
    set tmargin at screen panel_top(3, panels)
    set bmargin at screen panel_bottom(3, panels)
    load 'moves.gp'
    load 'share.gp'

    unset arrow
    set title 'VMs: 99th percentile of the wake-up delay (how late a vCPU ran after its sleep ended)'
    set ylabel 'ms'
    set logscale y
    set yrange [*:*]
    set autoscale y
    set xlabel 'seconds since halvorn started'
    set format x '%g'
    set tmargin at screen panel_top(4, panels)
    set bmargin at screen panel_bottom(4, panels)
    load 'moves.gp'
    load 'wake.gp'
}

unset multiplot
