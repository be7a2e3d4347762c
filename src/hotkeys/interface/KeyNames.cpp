#include "KeyNames.h"

#include <map>

namespace kestrova {

namespace {

const std::map<std::uint32_t, QString>& keyNames() {
    static const std::map<std::uint32_t, QString> names{
        {0, "A"},      {1, "S"},    {2, "D"},    {3, "F"},     {4, "H"},     {5, "G"},
        {6, "Z"},      {7, "X"},    {8, "C"},    {9, "V"},     {11, "B"},    {12, "Q"},
        {13, "W"},     {14, "E"},   {15, "R"},   {16, "Y"},    {17, "T"},    {18, "1"},
        {19, "2"},     {20, "3"},   {21, "4"},   {22, "6"},    {23, "5"},    {24, "="},
        {25, "9"},     {26, "7"},   {27, "-"},   {28, "8"},    {29, "0"},    {30, "]"},
        {31, "O"},     {32, "U"},   {33, "["},   {34, "I"},    {35, "P"},    {36, "↩"},
        {37, "L"},     {38, "J"},   {39, "'"},   {40, "K"},    {41, ";"},    {42, "\\"},
        {43, ","},     {44, "/"},   {45, "N"},   {46, "M"},    {47, "."},    {48, "⇥"},
        {49, "Space"}, {50, "`"},   {51, "⌫"},   {96, "F5"},   {97, "F6"},   {98, "F7"},
        {99, "F3"},    {100, "F8"}, {101, "F9"}, {103, "F11"}, {109, "F10"}, {111, "F12"},
        {115, "↖"},    {116, "⇞"},  {117, "⌦"},  {118, "F4"},  {119, "↘"},   {120, "F2"},
        {121, "⇟"},    {122, "F1"}, {123, "←"},  {124, "→"},   {125, "↓"},   {126, "↑"},
    };
    return names;
}

} // namespace

std::optional<QString> KeyNames::name(std::uint32_t code) {
    const auto& names = keyNames();
    const auto it = names.find(code);
    if (it == names.end())
        return std::nullopt;
    return it->second;
}

QString KeyNames::string(std::uint32_t code, std::uint32_t modifiers) {
    QString s;
    if (modifiers & carbon::controlKey)
        s += QStringLiteral("⌃");
    if (modifiers & carbon::optionKey)
        s += QStringLiteral("⌥");
    if (modifiers & carbon::shiftKey)
        s += QStringLiteral("⇧");
    if (modifiers & carbon::cmdKey)
        s += QStringLiteral("⌘");
    s += name(code).value_or(QStringLiteral("Key %1").arg(code));
    return s;
}

std::uint32_t KeyNames::carbonModifiers(Qt::KeyboardModifiers modifiers) {
    std::uint32_t m = 0;
    if (modifiers & Qt::MetaModifier)
        m |= carbon::cmdKey;
    if (modifiers & Qt::AltModifier)
        m |= carbon::optionKey;
    if (modifiers & Qt::ControlModifier)
        m |= carbon::controlKey;
    if (modifiers & Qt::ShiftModifier)
        m |= carbon::shiftKey;
    return m;
}

} // namespace kestrova
