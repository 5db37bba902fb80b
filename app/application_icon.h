// The program's icon, from the built-in artwork.
#pragma once

// Makes the framework's application icon the built-in one: the 32 x 32
// picture of postwren.ico, every other size the icon is drawn for, and its
// name in the icon theme where the theme was installed with the program;
// the windows get it too. A missing icon leaves the framework's drawn one in
// place. Needs the QApplication; GUI thread only.
void LoadApplicationIcon();
