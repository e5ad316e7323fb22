#include "speech-engine/hub/ModelHub.h"

#include "speech-engine/hub/ModelDownloadError.h"
#include "speech-engine/hub/TransferWatch.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

#include <memory>

namespace {

// The hub's answers are a few kilobytes, a listing of a large repository some hundred.
constexpr qint64 maxAnswerBytes = 8 << 20;
// The largest checkpoint the importer reads, which also keeps sums of sizes far from overflowing.
constexpr qint64 maxCheckpointBytes = qint64{64} << 30;

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Characters a URL path may carry unencoded, beside the unreserved ones.
QByteArray encodePath(const QString& path) {
    return QUrl::toPercentEncoding(path, "/!$&'()*+,;=:@");
}

// A revision is one path segment: a branch like "refs/pr/1" keeps its slashes encoded.
QByteArray encodeSegment(const QString& segment) {
    return QUrl::toPercentEncoding(segment);
}

QUrl hubURL(const QByteArray& encodedPathAndQuery) {
    auto base = ModelHub::baseURL().toEncoded();
    while (base.endsWith('/'))
        base.chop(1);
    return QUrl::fromEncoded(base + encodedPathAndQuery, QUrl::StrictMode);
}

bool isHex(const QString& text, qsizetype length) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]+$"));
    return text.size() == length && hex.match(text).hasMatch();
}

QCoro::Task<QJsonDocument> fetchJson(QNetworkAccessManager& network, QUrl url, QString what,
                                     std::stop_token stop, std::chrono::milliseconds stallLimit) {
    std::unique_ptr<QNetworkReply, DeleteLater> reply(network.get(QNetworkRequest(url)));
    TransferWatch watch(*reply, std::move(stop), stallLimit);
    bool tooLarge = false;
    QObject receiver; // ends the connection with this frame
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &receiver,
                     [&](qint64 received, qint64 total) {
                         if (received > maxAnswerBytes || total > maxAnswerBytes) {
                             tooLarge = true;
                             reply->abort();
                         }
                     });
    co_await watch.finished();
    watch.throwIfInterrupted();
    if (tooLarge)
        throw ModelDownloadError(
            QStringLiteral("The model hub's answer for %1 is larger than the %2 MB it can be.")
                .arg(what)
                .arg(maxAnswerBytes >> 20));
    const auto status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        throw ModelDownloadError(QStringLiteral("Could not reach the model hub for %1: %2")
                                     .arg(what, reply->errorString()));
    if (status.toInt() != 200)
        throw ModelDownloadError(
            QStringLiteral("The model hub refused %1 (HTTP %2).").arg(what).arg(status.toInt()));
    QJsonParseError parseError;
    auto document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw ModelDownloadError(
            QStringLiteral("The model hub's answer for %1 is not valid JSON: %2")
                .arg(what, parseError.errorString()));
    co_return document;
}

bool isCheckpoint(const QJsonObject& entry) {
    return entry.value(QLatin1String("type")).toString() == u"file" &&
           entry.value(QLatin1String("path")).toString().endsWith(QLatin1String(".nemo"));
}

QJsonObject chooseCheckpoint(const QJsonDocument& listing, const QString& repository) {
    QList<QJsonObject> candidates;
    for (const auto value : listing.array())
        if (isCheckpoint(value.toObject()))
            candidates.append(value.toObject());
    if (candidates.size() == 1)
        return candidates.front();
    if (candidates.isEmpty())
        throw ModelDownloadError(
            QStringLiteral("The repository %1 holds no .nemo checkpoint.").arg(repository));
    const auto preferred = repository.section(u'/', -1) + QStringLiteral(".nemo");
    QStringList paths;
    for (const auto& candidate : candidates) {
        const auto path = candidate.value(QLatin1String("path")).toString();
        if (path == preferred)
            return candidate;
        paths.append(path);
    }
    throw ModelDownloadError(QStringLiteral("The repository %1 holds several checkpoints (%2) and "
                                            "none is named %3.")
                                 .arg(repository, paths.join(QLatin1String(", ")), preferred));
}

HubCheckpoint describeCheckpoint(const QJsonObject& entry, const QString& repository,
                                 const QString& commit) {
    const auto path = entry.value(QLatin1String("path")).toString();
    const auto lfs = entry.value(QLatin1String("lfs")).toObject();
    const auto sha256 = lfs.value(QLatin1String("oid")).toString();
    const auto size = lfs.value(QLatin1String("size")).toInteger(-1);
    if (!isHex(sha256, 64) || size <= 0)
        throw ModelDownloadError(QStringLiteral("The model hub lists %1 of %2 without its SHA-256 "
                                                "and size.")
                                     .arg(path, repository));
    if (size > maxCheckpointBytes)
        throw ModelDownloadError(
            QStringLiteral("The model hub lists %1 of %2 at %3 bytes, more than a checkpoint can "
                           "hold.")
                .arg(path, repository)
                .arg(size));
    const auto segments = path.split(u'/');
    if (segments.contains(QString()) || segments.contains(QStringLiteral("..")))
        throw ModelDownloadError(
            QStringLiteral("The model hub lists an unusable path: %1").arg(path));
    return {repository, commit, path, sha256.toLatin1(), size};
}

} // namespace

namespace ModelHub {

QUrl baseURL() {
    const auto configured = qEnvironmentVariable("HF_ENDPOINT");
    if (configured.isEmpty())
        return QUrl(QStringLiteral("https://huggingface.co"));
    const QUrl url(configured, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"https" && url.scheme() != u"http") ||
        url.host().isEmpty())
        throw ModelDownloadError(QStringLiteral("HF_ENDPOINT is not an http(s) address: ") +
                                 configured);
    return url;
}

QCoro::Task<HubCheckpoint> findCheckpoint(QNetworkAccessManager& network, QString repository,
                                          QString revision, std::stop_token stop,
                                          std::chrono::milliseconds stallLimit) {
    // Arguments named: GCC 12 destroys temporaries of a co_await expression twice.
    const auto repositoryPath = "/api/models/" + encodePath(repository);
    const auto revisionURL = hubURL(repositoryPath + "/revision/" + encodeSegment(revision));
    const auto revisionWhat = QStringLiteral("revision \"%1\" of %2").arg(revision, repository);
    const auto revisionAnswer =
        co_await fetchJson(network, revisionURL, revisionWhat, stop, stallLimit);
    const auto commit = commitInAnswer(revisionAnswer, repository, revision);
    const auto listingURL =
        hubURL(repositoryPath + "/tree/" + commit.toLatin1() + "?recursive=true&expand=false");
    const auto listingWhat = QStringLiteral("the file list of %1").arg(repository);
    const auto listing = co_await fetchJson(network, listingURL, listingWhat, stop, stallLimit);
    co_return checkpointInListing(listing, repository, commit);
}

QString commitInAnswer(const QJsonDocument& answer, const QString& repository,
                       const QString& revision) {
    const auto sha = answer.object().value(QLatin1String("sha")).toString();
    if (!isHex(sha, 40))
        throw ModelDownloadError(QStringLiteral("The model hub named no commit for revision "
                                                "\"%1\" of %2.")
                                     .arg(revision, repository));
    return sha;
}

HubCheckpoint checkpointInListing(const QJsonDocument& listing, const QString& repository,
                                  const QString& commit) {
    if (!listing.isArray())
        throw ModelDownloadError(
            QStringLiteral("The model hub's file list of %1 is not a list.").arg(repository));
    return describeCheckpoint(chooseCheckpoint(listing, repository), repository, commit);
}

QUrl fileURL(const HubCheckpoint& checkpoint) {
    return hubURL("/" + encodePath(checkpoint.repository) + "/resolve/" +
                  checkpoint.commit.toLatin1() + "/" + encodePath(checkpoint.path) +
                  "?download=true");
}

} // namespace ModelHub
