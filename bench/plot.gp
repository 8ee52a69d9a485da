# Draws throughput against N for the benchmark: lookups and registrations of
# pelorin, Redis and the floor server. Called by bench/run.py with
# -e "data='...'; out='...'".
set terminal pngcairo size 1100,460 font "sans,10"
set output out
set multiplot layout 1,2
set logscale x
set logscale y
set grid
set key bottom right
set offsets graph 0.05, graph 0.05, 0, 0
set xlabel "N (names stored)"
set ylabel "operations per second"
set xtics ("100" 100, "1,000" 1000, "10,000" 10000, "100,000" 100000)
set title "1 lookups (64 clients, new connection each)"
plot data using 1:2 with linespoints lw 2 title "pelorin", \
     data using 1:3 with linespoints lw 2 title "redis", \
     data using 1:4 with linespoints lw 2 dt 2 title "floor"
set title "2 registrations (64 persistent devices, each reply waited for)"
plot data using 1:5 with linespoints lw 2 title "pelorin", \
     data using 1:6 with linespoints lw 2 title "redis", \
     data using 1:7 with linespoints lw 2 dt 2 title "floor"
unset multiplot
