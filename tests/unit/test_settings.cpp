#include <gtest/gtest.h>

#include <string>

#include "launcher/settings.h"
#include "test_support.h"

using namespace velda;

namespace {

// Writes content as the settings file under a fake APPDATA and reads the language back.
int language_of(const std::string& content) {
    TempFolder appdata;
    appdata.write("VeldaNova/settings.txt", content);
#ifdef _WIN32
    std::string root = appdata.path().string();
#else
    // The file name is formed with a backslash, as on Windows; natively that is one name.
    TempFolder flat;
    std::string root = flat.path().string() + "/appdata";
    std::filesystem::create_directories(root);
    flat.write("appdata\\VeldaNova\\settings.txt", content);
#endif
    return read_language_flag(root.c_str());
}

struct LanguageCase {
    const char* name;
    std::string content;
    int spanish;
};

TEST(SettingsLanguage, DecidesFromTheFirstLanguageLine) {
    const LanguageCase cases[] = {
        {"crlf", "language=es\r\n", 1},
        {"lf only, no final newline", "language=es", 1},
        {"bom", "\xEF\xBB\xBFlanguage=es\r\n", 1},
        {"blanks around the line", " \t language=es \t\r\n", 1},
        {"later line", "theme=dark\r\nlanguage=es\r\n", 1},
        {"upper case value", "language=ES\r\n", 0},
        {"blank after equals", "language= es\r\n", 0},
        {"blank before equals is no language line", "language =es\r\n", 0},
        {"blank before equals, then a real line", "language =en\r\nlanguage=es\r\n", 1},
        {"only the first language line counts", "language=en\r\nlanguage=es\r\n", 0},
        {"other value", "language=fr\r\n", 0},
        {"value with suffix", "language=esp\r\n", 0},
        {"empty file", "", 0},
        {"no language line", "volume=3\n", 0},
        {"upper case key", "LANGUAGE=es\n", 0},
    };
    for (const LanguageCase& c : cases) {
        EXPECT_EQ(language_of(c.content), c.spanish) << c.name;
    }
}

TEST(SettingsLanguage, LongLinesArriveAsSeveralPieces) {
    // 255 bytes fill one piece; the next piece starts with "language=es" and decides.
    EXPECT_EQ(language_of(std::string(255, 'x') + "language=es\r\n"), 1);
    // 254 bytes leave room for one more byte: the next piece starts with "anguage=es".
    EXPECT_EQ(language_of(std::string(254, 'x') + "language=es\r\n"), 0);
    // A language line whose value makes it longer than a piece: the value seen is cut.
    EXPECT_EQ(language_of("language=es" + std::string(300, ' ') + "x\r\n"), 1);
}

TEST(SettingsLanguage, MissingAppdataOrFileMeansEnglish) {
    EXPECT_EQ(read_language_flag(nullptr), 0);
    EXPECT_EQ(read_language_flag(""), 0);
    TempFolder empty;
    EXPECT_EQ(read_language_flag(empty.path().string().c_str()), 0);
}

TEST(SettingsPiece, TrimsAndMatchesExactly) {
    int spanish = -1;
    char line[] = "  language=es\r\n";
    EXPECT_TRUE(settings_piece_decides(line, &spanish));
    EXPECT_EQ(spanish, 1);
    char other[] = "lang=es";
    EXPECT_FALSE(settings_piece_decides(other, &spanish));
}

}  // namespace
