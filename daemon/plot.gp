# Draws a demo run: the room temperature over time, the two thresholds of
# the band, and the time the heater was ON shaded.  Set log (columns:
# seconds, temperature, heater ON/OFF) and out (the SVG to write) with -e.
set terminal svg size 960,440 dynamic background rgb "white" font "sans,12"
set output out
set title "Thermostat run: heater ON below 69, OFF above 75"
set xlabel "time (s)"
set ylabel "room temperature (°F)"
set key outside right top
set style fill transparent solid 0.25 noborder
stats log using 2 nooutput
lo = floor(STATS_min) - 1
hi = ceil(STATS_max) + 1
set yrange [lo:hi]
plot log using 1:(strcol(3) eq "ON" ? hi : lo) with fillsteps lc rgb "orange" title "heater ON", \
     log using 1:2 with linespoints pt 7 ps 0.4 lc rgb "navy" title "room", \
     69 with lines dt 2 lw 1.5 lc rgb "blue" title "69", \
     75 with lines dt 2 lw 1.5 lc rgb "red" title "75"
