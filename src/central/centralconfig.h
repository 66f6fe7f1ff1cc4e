#pragma once
// What zel-central is told: the database, where to serve, the token, the
// stale limit and where alerts go. From the command line and, with --config,
// an INI file (the command line wins):
//
//   [central]
//   db = postgresql://zel@db.example.net/zel
//   http = 0.0.0.0:8090
//   tokenFile = /etc/zel/central.token
//   staleAfter = 30
//   [alerts]
//   command = /usr/local/bin/page-engineer
//   webhook = https://chat.example.org/hooks/abc   (or webhookFile = FILE)
#include <QHostAddress>
#include <QString>
#include <QStringList>

namespace zel {

struct CentralConfig {
    static constexpr int DefaultStaleAfterS = 30;

    QString databaseUrl;
    QHostAddress httpAddress;
    quint16 httpPort = 0;
    bool httpSet = false;
    QString token;
    int staleAfterS = DefaultStaleAfterS;
    QString alertCommand;
    QString webhookUrl;

    // "ADDR:PORT" (an IPv6 address in brackets); false with the reason.
    bool setHttp(const QString& text, QString* error);
    // Whole seconds, 1 to a day; false with the reason.
    bool setStaleAfter(const QString& text, QString* error);

    // Reads the file. False with "FILE:LINE: what" for a file that cannot be
    // used (unreadable, a line that is not key = value, an http address or a
    // token or webhook file that cannot be used); an unknown key or section
    // or a stale limit that is no number of seconds is a warning, and the
    // default holds.
    bool readFile(const QString& path, QStringList* warnings, QString* error);
};

} // namespace zel
