#include "app/system/WebStrings.h"

#include <cstdio>
#include <string>

namespace {

// The application's words: the key (the English text, or PAPPL's key of a
// keyword), then German, French and Spanish. (PAPPL keeps the first text of
// a key: these add keys, they never replace PAPPL's own.)
struct Words {
    const char* key;
    const char* text[3];
};

const char* const kLanguages[] = {"de", "fr", "es"};

const Words kWords[] = {
    {"print-quality.draft", {"Entwurf", "Brouillon", "Borrador"}},
    {"print-quality.normal", {"Normal", "Normale", "Normal"}},
    {"print-quality.high", {"Hoch", "Haute", "Alta"}},
    {"feed-orientation", {"Einzugsrichtung", "Sens d'alimentation", "Sentido de alimentación"}},
    {"feed-orientation.short-edge-first",
     {"Schmale Kante zuerst", "Bord court en premier", "Borde corto primero"}},
    {"feed-orientation.long-edge-first",
     {"Lange Kante zuerst", "Bord long en premier", "Borde largo primero"}},
    {"Black Toner", {"Schwarzer Toner", "Toner noir", "Tóner negro"}},
    {"Level not reported",
     {"Füllstand nicht gemeldet", "Niveau non communiqué", "Nivel no informado"}},
    {"Sign In", {"Anmelden", "Se connecter", "Iniciar sesión"}},
    {"media-source.manual-feed",
     {"Manuelle Zufuhr", "Alimentation manuelle", "Alimentación manual"}},
    {"media-type.stationery-recycled", {"Recyclingpapier", "Papier recyclé", "Papel reciclado"}},
    {QUELMOSS_FOOTER_HTML,
     {"Druckeranwendung für Brivane Quelmoss " QUELMOSS_VERSION
      " &middot; Seiten als JBIG-Datenstrom des Druckers",
      "Application d'impression Brivane Quelmoss " QUELMOSS_VERSION
      " &middot; pages envoyées dans le flux JBIG de l'imprimante",
      "Aplicación de impresión Brivane Quelmoss " QUELMOSS_VERSION
      " &middot; páginas enviadas como flujo JBIG de la impresora"}},
    {QUELMOSS_ADD_PRINTER_HTML,
     {"Netzwerkdrucker werden über DNS-SD gefunden, und avahi-daemon lief nicht, als dieser "
      "Server startete. Fügen Sie einen Drucker mit <code>quelmoss-printer-app add -d NAME -m "
      "brivane_quelmoss -v socket://HOST:9100</code> hinzu, oder starten Sie avahi-daemon und "
      "danach diesen Server neu.",
      "Les imprimantes réseau sont trouvées par DNS-SD, et avahi-daemon ne tournait pas au "
      "démarrage de ce serveur. Ajoutez une imprimante avec <code>quelmoss-printer-app add -d "
      "NAME -m brivane_quelmoss -v socket://HOST:9100</code>, ou démarrez avahi-daemon puis "
      "redémarrez ce serveur.",
      "Las impresoras de red se encuentran mediante DNS-SD, y avahi-daemon no estaba en "
      "marcha cuando se inició este servidor. Añada una impresora con <code>quelmoss-printer-app "
      "add -d NAME -m brivane_quelmoss -v socket://HOST:9100</code>, o inicie avahi-daemon y "
      "reinicie este servidor."}},
};

// English names of the keys that are no English text.
const Words kEnglish[] = {
    {"feed-orientation", {"Feed Orientation"}},
    {"media-source.manual-feed", {"Manual Feed"}},
};

void addPair(std::string* strings, const char* key, const char* text) {
    *strings += std::string("\"") + key + "\" = \"" + text + "\";\n";
}

// PAPPL 1.3.1 loads a strings resource's pairs into its own copy, and
// answers every Get-Printer-Attributes while one exists by appending
// printer-strings-languages-supported to the printer's own attributes
// (over and again, under a reader's lock): the pairs stay, the resource
// goes.
void addStrings(pappl_system_t* system, const char* language, const std::string& strings) {
    char path[64];
    snprintf(path, sizeof(path), "/quelmoss-%s.strings", language);
    papplSystemAddStringsData(system, path, language, strings.c_str());
    papplSystemRemoveResource(system, path);
}

}  // namespace

void addWebStrings(pappl_system_t* system) {
    std::string english;
    for (const Words& words : kEnglish) addPair(&english, words.key, words.text[0]);
    addStrings(system, "en", english);
    for (size_t i = 0; i < sizeof(kLanguages) / sizeof(kLanguages[0]); i++) {
        std::string strings;
        for (const Words& words : kWords) addPair(&strings, words.key, words.text[i]);
        addStrings(system, kLanguages[i], strings);
    }
}
