#include "app/system/WebStrings.h"

#include <cstdio>

// (PAPPL keeps the first text of a key: these add keys, they never replace
// PAPPL's own.)
#define FOOTER_KEY "\"" QUELMOSS_FOOTER_HTML "\" = "
#define ADD_PRINTER_KEY "\"" QUELMOSS_ADD_PRINTER_HTML "\" = "

static const char kEnglish[] = R"("feed-orientation" = "Feed Orientation";
"media-source.manual-feed" = "Manual Feed";
)";

static const char kGerman[] =
    R"("print-quality.draft" = "Entwurf";
"print-quality.normal" = "Normal";
"print-quality.high" = "Hoch";
"feed-orientation" = "Einzugsrichtung";
"feed-orientation.short-edge-first" = "Schmale Kante zuerst";
"feed-orientation.long-edge-first" = "Lange Kante zuerst";
"Black Toner" = "Schwarzer Toner";
"Level not reported" = "Füllstand nicht gemeldet";
"Sign In" = "Anmelden";
"media-source.manual-feed" = "Manuelle Zufuhr";
"media-type.stationery-recycled" = "Recyclingpapier";
)" FOOTER_KEY "\"Druckeranwendung für Brivane Quelmoss " QUELMOSS_VERSION
    " &middot; Seiten als JBIG-Datenstrom des Druckers\";\n" ADD_PRINTER_KEY
    "\"Netzwerkdrucker werden über DNS-SD gefunden, und avahi-daemon lief nicht, als dieser "
    "Server startete. Fügen Sie einen Drucker mit <code>quelmoss-printer-app add -d NAME -m "
    "brivane_quelmoss -v socket://HOST:9100</code> hinzu, oder starten Sie avahi-daemon und "
    "danach diesen Server neu.\";\n";

static const char kFrench[] =
    R"("print-quality.draft" = "Brouillon";
"print-quality.normal" = "Normale";
"print-quality.high" = "Haute";
"feed-orientation" = "Sens d'alimentation";
"feed-orientation.short-edge-first" = "Bord court en premier";
"feed-orientation.long-edge-first" = "Bord long en premier";
"Black Toner" = "Toner noir";
"Level not reported" = "Niveau non communiqué";
"Sign In" = "Se connecter";
"media-source.manual-feed" = "Alimentation manuelle";
"media-type.stationery-recycled" = "Papier recyclé";
)" FOOTER_KEY "\"Application d'impression Brivane Quelmoss " QUELMOSS_VERSION
    " &middot; pages envoyées dans le flux JBIG de l'imprimante\";\n" ADD_PRINTER_KEY
    "\"Les imprimantes réseau sont trouvées par DNS-SD, et avahi-daemon ne tournait pas au "
    "démarrage de ce serveur. Ajoutez une imprimante avec <code>quelmoss-printer-app add -d "
    "NAME -m brivane_quelmoss -v socket://HOST:9100</code>, ou démarrez avahi-daemon puis "
    "redémarrez ce serveur.\";\n";

static const char kSpanish[] =
    R"("print-quality.draft" = "Borrador";
"print-quality.normal" = "Normal";
"print-quality.high" = "Alta";
"feed-orientation" = "Sentido de alimentación";
"feed-orientation.short-edge-first" = "Borde corto primero";
"feed-orientation.long-edge-first" = "Borde largo primero";
"Black Toner" = "Tóner negro";
"Level not reported" = "Nivel no informado";
"Sign In" = "Iniciar sesión";
"media-source.manual-feed" = "Alimentación manual";
"media-type.stationery-recycled" = "Papel reciclado";
)" FOOTER_KEY "\"Aplicación de impresión Brivane Quelmoss " QUELMOSS_VERSION
    " &middot; páginas enviadas como flujo JBIG de la impresora\";\n" ADD_PRINTER_KEY
    "\"Las impresoras de red se encuentran mediante DNS-SD, y avahi-daemon no estaba en "
    "marcha cuando se inició este servidor. Añada una impresora con <code>quelmoss-printer-app "
    "add -d NAME -m brivane_quelmoss -v socket://HOST:9100</code>, o inicie avahi-daemon y "
    "reinicie este servidor.\";\n";

void addWebStrings(pappl_system_t* system) {
    static const struct {
        const char* language;
        const char* text;
    } kStrings[] = {{"en", kEnglish}, {"de", kGerman}, {"fr", kFrench}, {"es", kSpanish}};
    // PAPPL 1.3.1 loads a strings resource's pairs into its own copy, and
    // answers every Get-Printer-Attributes while one exists by appending
    // printer-strings-languages-supported to the printer's own attributes
    // (over and again, under a reader's lock): the pairs stay, the
    // resource goes.
    for (const auto& strings : kStrings) {
        char path[64];
        snprintf(path, sizeof(path), "/quelmoss-%s.strings", strings.language);
        papplSystemAddStringsData(system, path, strings.language, strings.text);
        papplSystemRemoveResource(system, path);
    }
}
