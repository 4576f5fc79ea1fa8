// GTK start-up shared by every part of this layer. Main thread only.
#pragma once

// Opens the display on first use; later calls return the same answer without a second
// start. The web layer starts GTK the same way (gtk_init_check), so whichever comes
// first wins and the other finds it done. False when no display can be opened; a later
// call tries again.
bool win_gtk_init();
