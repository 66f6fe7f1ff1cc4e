#pragma once
// Reads the group's sites, monitors and live state from the central database
// every IntervalMs, on a thread of its own with its own connection, so that
// a slow or vanished database never holds up the HTTP side. It opens the
// database, migrates a fresh or older one, and after a failure opens it
// again on the next round.
//
// Every round ends in exactly one signal: snapshot() with what was read,
// problem() with the reason it could not be read, or refused() when the
// database was written by a newer program (nothing is read from it then).
#include <QObject>
#include <QString>

#include "central/sites.h"

class QTimer;

namespace zel {

class SiteReader : public QObject {
    Q_OBJECT
public:
    static constexpr int IntervalMs = 2000;
    // A server that stops answering mid-query (a dead network path) ends
    // the query by then, rather than leaving the thread waiting for ever.
    static constexpr int QueryTimeoutMs = 10'000;

    explicit SiteReader(const QString& url, QObject* parent = nullptr);
    ~SiteReader() override;

    // The URL with what a long-running reader wants of libpq unless the
    // URL says otherwise: a bounded connect, a TCP timeout, its name.
    static QString withReaderOptions(const QString& url);

public slots:
    // Starts the rounds on the calling (the reader's) thread.
    void start();
    // One round now.
    void refresh();

signals:
    void snapshot(const zel::CentralSnapshot& snapshot);
    void problem(const QString& reason);
    void refused(const QString& reason);

private:
    bool connectAndMigrate(QString* reason, bool* refusedNewer);
    bool read(CentralSnapshot* out, QString* reason);
    void closeConnection();

    QString m_url;     // with the reader's options
    QString m_userUrl; // as given, for messages
    QString m_connection;
    bool m_open = false;
    QTimer* m_timer = nullptr;
};

} // namespace zel
