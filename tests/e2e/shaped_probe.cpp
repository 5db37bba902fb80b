// Shows a borderless window carrying the popup's skin, shaped by the skin's
// outline the way the mail checker's main window shapes itself, for an
// end-to-end test on a real X server.
//
//   shaped_probe [--no-shape] X Y
//
// The window's top-left corner goes to (X, Y). With --no-shape the outline is
// built but never applied, so the whole rectangle of the skin shows.
// Writes "shown <x> <y> <width> <height>" once the window is on screen, then
// runs until its standard input ends.
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/application.h"
#include "core/streams.h"
#include "framework/controls.h"
#include "resources/resources.h"
#include "widgets/formrgn.h"

int main(int argc, char** argv) {
    bool shape = true;
    int pos[2] = {0, 0};
    int npos = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-shape") == 0)
            shape = false;
        else if (npos < 2)
            pos[npos++] = std::atoi(argv[i]);
    }
    QApplication qapp(argc, argv);
    TApplication app;

    const auto skin = resources::Load("skin.bmp");
    if (!skin) {
        std::fprintf(stderr, "shaped_probe: no built-in skin\n");
        return 1;
    }

    auto* form = new TForm(&app);
    form->SetBorderStyle(TFormBorderStyle::bsNone);
    form->SetCaption("shaped probe");
    auto* formRgn = new TFormRgn(form);
    formRgn->SetParent(form);
    formRgn->SetAutoSize(true);
    TMemoryStream bytes;
    bytes.WriteBuffer(skin->data(), static_cast<std::int64_t>(skin->size()));
    bytes.SetPosition(0);
    formRgn->Picture()->Bitmap()->LoadFromStream(bytes);
    // The sharper face, as the main window loads it; shown only on screens
    // of 1.5 device pixels a pixel and more.
    if (const auto sharp = resources::Load("skin@2x.bmp")) {
        TMemoryStream sharpBytes;
        sharpBytes.WriteBuffer(sharp->data(), static_cast<std::int64_t>(sharp->size()));
        sharpBytes.SetPosition(0);
        formRgn->Picture()->Bitmap()->LoadHiDpiFromStream(sharpBytes);
    }
    formRgn->setTrspColor(clRed);

    // As the main window does while it is created.
    form->SetClientWidth(formRgn->Width());
    form->SetClientHeight(formRgn->Height());
    formRgn->CreateRgn();
    if (shape)
        formRgn->UpdateRgn();
    form->SetBounds(pos[0], pos[1], form->Width(), form->Height());
    form->Show();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) {
            input.setEnabled(false);
            app.Terminate(0);
        }
    });

    QCoreApplication::processEvents();
    const QRect g = form->Handle()->geometry();
    std::printf("shown %d %d %d %d\n", g.x(), g.y(), g.width(), g.height());
    std::fflush(stdout);

    const int code = app.Run();
    delete form;
    return code;
}
