# Draws a demo run: the room temperature over time, the band around the
# target where it was at each moment, and the time the heater was ON
# shaded.  Set log (columns: seconds, temperature, heater ON/OFF, target),
# band (its width) and out (the SVG to write) with -e.
set terminal svg size 960,440 dynamic background rgb "white" font "sans,12"
set output out
set title "Thermostat run: heater ON below the band, OFF above it"
set xlabel "time (s)"
set ylabel "room temperature (°F)"
set key outside right top
set style fill transparent solid 0.25 noborder
stats log using 2 nooutput
lo = floor(STATS_min) - 1
hi = ceil(STATS_max) + 1
stats log using 4 nooutput
lo = floor(lo < STATS_min - band / 2 ? lo : STATS_min - band / 2 - 1)
hi = ceil(hi > STATS_max + band / 2 ? hi : STATS_max + band / 2 + 1)
set yrange [lo:hi]
plot log using 1:(strcol(3) eq "ON" ? hi : lo) with fillsteps lc rgb "orange" title "heater ON", \
     log using 1:2 with linespoints pt 7 ps 0.4 lc rgb "navy" title "room", \
     log using 1:($4 - band / 2) with steps dt 2 lw 1.5 lc rgb "blue" title "ON below", \
     log using 1:($4 + band / 2) with steps dt 2 lw 1.5 lc rgb "red" title "OFF above", \
     log using 1:4 with steps dt 3 lw 1 lc rgb "gray40" title "target"
