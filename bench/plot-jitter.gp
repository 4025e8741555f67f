# Jitter distributions of player and reference per timing scenario, from
# the benchmark's jitter-*.dat files:  gnuplot -e "dir='bench-results'" plot-jitter.gp
set terminal pngcairo size 1500,900 font ",10"
set output dir.'/jitter.png'
set multiplot layout 2,3 title "Cue jitter through a pseudo-terminal: share of cues (y) with jitter at or below x"
set logscale x
set xrange [1:100000]
set yrange [0:1.02]
set xlabel "jitter, microseconds"
set grid
set key bottom right
do for [name in "1ms irregular drift 1ms-loaded irregular-loaded drift-loaded"] {
    set title name
    player = dir.'/jitter-'.name.'-player.dat'
    reference = dir.'/jitter-'.name.'-reference.dat'
    plot player using ($1 < 1 ? 1 : $1):2 with lines lw 2 title 'orvplayer', \
         reference using ($1 < 1 ? 1 : $1):2 with lines lw 2 dt 2 title 'reference writer'
}
unset multiplot
