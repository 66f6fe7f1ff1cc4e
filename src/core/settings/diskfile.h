#pragma once
// The settings record: one fixed record of 111 bytes, no header, no version.
//
//  off len  field            encoding
//    0   2  DirectCable      flag (FF FF true, 00 00 false, little-endian -1/0)
//    2   2  ModemLink        flag
//    4   5  DirectPort       text, blank-padded
//    9   2  ToneDial         flag
//   11   2  PulseDial        flag
//   13  24  PhoneNumber      text
//   37   6  OutsideLineOn    check state as decimal text ("1     ")
//   43   6  OutsideLineCode  text
//   49   6  CallWaitingOn    check state
//   55   6  CallWaitingCode  text
//   61   5  ModemPortName    text
//   66   2  SpeakerOff       flag
//   68   2  SpeakerLow       flag
//   70   2  SpeakerLoud      flag
//   72   6  ModemIniOn       check state
//   78  23  ModemIniString   text
//  101   2  BeepOffShown     flag
//  103   2  BeepOnShown      flag
//  105   3  PkPosLevel       threshold text ("110")
//  108   3  PkNegLevel       threshold text
//
// Texts are single-byte (Latin-1), left-aligned, padded with blanks and cut
// to their width on writing; they are kept here exactly as stored.
#include <QByteArray>
#include <QString>
#include <optional>

namespace zel {

struct DiskFileDefinition {
    static constexpr int Size = 111;

    // Field offsets and widths, in record order.
    enum Offset : int {
        OffDirectCable = 0,
        OffModemLink = 2,
        OffDirectPort = 4,
        OffToneDial = 9,
        OffPulseDial = 11,
        OffPhoneNumber = 13,
        OffOutsideLineOn = 37,
        OffOutsideLineCode = 43,
        OffCallWaitingOn = 49,
        OffCallWaitingCode = 55,
        OffModemPortName = 61,
        OffSpeakerOff = 66,
        OffSpeakerLow = 68,
        OffSpeakerLoud = 70,
        OffModemIniOn = 72,
        OffModemIniString = 78,
        OffBeepOffShown = 101,
        OffBeepOnShown = 103,
        OffPkPosLevel = 105,
        OffPkNegLevel = 108
    };
    enum Width : int {
        PortWidth = 5,
        PhoneWidth = 24,
        CheckWidth = 6,
        CodeWidth = 6,
        IniWidth = 23,
        LevelWidth = 3
    };

    bool DirectCable = true;
    bool ModemLink = false;
    QByteArray DirectPort = "COM 1";
    bool ToneDial = true;
    bool PulseDial = false;
    QByteArray PhoneNumber;
    QByteArray OutsideLineOn = "0";
    QByteArray OutsideLineCode = "9";
    QByteArray CallWaitingOn = "0";
    QByteArray CallWaitingCode = "*70";
    QByteArray ModemPortName = "COM 3";
    bool SpeakerOff = false;
    bool SpeakerLow = true;
    bool SpeakerLoud = false;
    QByteArray ModemIniOn = "0";
    QByteArray ModemIniString = "AT";
    bool BeepOffShown = false;
    bool BeepOnShown = true;
    QByteArray PkPosLevel = "100";
    QByteArray PkNegLevel = "100";

    // The 111 bytes, every text padded or cut to its width.
    QByteArray encode() const;
    // Reads the first record of `bytes`; texts keep their padding blanks.
    // Fewer than 111 bytes is no record. A flag is true when non-zero.
    static std::optional<DiskFileDefinition> decode(const QByteArray& bytes);
};

// A control's text as a field: Latin-1, padded with blanks or cut to `width`.
QByteArray fieldText(const QString& text, int width);
// A check box value (0, 1, 2) as its field text ("1").
QByteArray checkStateText(int value);
// A check-state field read back as a 16-bit number: blanks around it are
// allowed, halves round to even; no number (or one out of 16-bit range) is
// nothing.
std::optional<short> checkStateValue(const QByteArray& text);
// The number a level field begins with: blanks are passed over wherever they
// stand, the longest leading decimal number is taken (0 when there is none)
// and rounded halves to even; nothing when it does not fit 16 bits.
std::optional<short> levelValue(const QByteArray& text);

// Writes `bytes` to `path` atomically (a temporary file renamed over the
// old one), creating the folder. On failure returns false with the reason
// in *error, and the old file is untouched.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error);

} // namespace zel
