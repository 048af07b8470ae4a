# Draws the refinement of PbSO4 from the files vistal wrote into pbso4plot/
# (measured points, model, background and difference) to pbso4.png.
set terminal png size 1400,800
set output 'pbso4.png'
set pointsize 0.35
set xlabel '2theta (degrees)'
set ylabel 'counts'
cd 'pbso4plot'
load 'achsen.plt'
unset output
