#pragma once
// The central record read back as a history: every query of HistoryStore
// (the export, the report, the chart) runs unchanged on PostgreSQL through
// temporary views named as the file's tables, with its column names, over
// one site's rows. Without a site every site is read and each monitor is
// named "site/monitor". Nothing is written.
#include <QString>

namespace zel {

class HistoryStore;

// A --history text that names a central database rather than a file.
bool isCentralUrl(const QString& text);

// Opens `url` and lets `store` read it as the record of `site` (empty: every
// site). *siteName, when given, gets the site's name. False with a message
// (the URL with its password masked, and why) when the database cannot be
// used or holds no such site.
bool openCentralHistory(HistoryStore& store, const QString& url, const QString& site, QString* siteName,
                        QString* error);

} // namespace zel
