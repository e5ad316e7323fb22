#include "speech-engine/NemotronModelDownloader.h"

#include "speech-engine/ASRError.h"
#include "speech-engine/ModelNames.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QStandardPaths>

#include <qcoro/qcoronetworkreply.h>
#include <qcoro/qcorosignal.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// Characters a URL path may carry unencoded, beside the unreserved ones.
const QByteArray pathAllowed = "/!$&'()*+,;=:@";
// Bounds what the network layer buffers per file, so memory stays constant.
constexpr qint64 readBufferBytes = 1 << 20;

struct TreeEntry {
    QString type;
    QString path;
};

using NemotronModelDownloader::ModelFile;

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};
using ReplyHandle = std::unique_ptr<QNetworkReply, DeleteLater>;

[[noreturn]] void fail(const QString& description) {
    throw std::runtime_error(description.toStdString());
}

QByteArray encodePath(const QString& path) {
    return QUrl::toPercentEncoding(path, pathAllowed);
}

QUrl hubURL(const QByteArray& encodedPathAndQuery) {
    auto base = NemotronModelDownloader::hubBaseURL().toEncoded();
    while (base.endsWith('/'))
        base.chop(1);
    return QUrl::fromEncoded(base + encodedPathAndQuery, QUrl::StrictMode);
}

QUrl listingURL(Repo repo) {
    return hubURL("/api/models/" + encodePath(Repo::remotePath()) + "/tree/" +
                  encodePath(Repo::revision()) + "/" + encodePath(repo.subPath()) +
                  "?recursive=true&expand=false");
}

QUrl fileURL(const QString& path) {
    return hubURL("/" + encodePath(Repo::remotePath()) + "/resolve/" +
                  encodePath(Repo::revision()) + "/" + encodePath(path) + "?download=true");
}

// A network failure passes on the system's text; any answer but 200 is a refusal.
void requireSuccess(const QNetworkReply& reply, const QString& refusal) {
    const auto status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() && reply.error() != QNetworkReply::NoError)
        fail(reply.errorString());
    if (status.toInt() != 200)
        throw ASRError::processingFailed(refusal);
    if (reply.error() != QNetworkReply::NoError)
        fail(reply.errorString());
}

std::vector<TreeEntry> decodeListing(const QByteArray& body) {
    QJsonParseError parseError;
    const auto document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        fail(QStringLiteral("The model file listing is not valid JSON: %1 at offset %2")
                 .arg(parseError.errorString())
                 .arg(parseError.offset));
    if (!document.isArray())
        fail(QStringLiteral("The model file listing is not a JSON array."));
    std::vector<TreeEntry> entries;
    for (const auto value : document.array()) {
        const auto object = value.toObject();
        const auto type = object.value(QLatin1String("type"));
        const auto path = object.value(QLatin1String("path"));
        if (!type.isString() || !path.isString())
            fail(QStringLiteral(
                "The model file listing holds an entry without a string \"type\" and \"path\"."));
        entries.push_back({type.toString(), path.toString()});
    }
    return entries;
}

// A path from the hub must stay inside the variant folder.
bool isSafeRelativePath(const QString& path) {
    const auto segments = path.split(u'/');
    return std::none_of(segments.begin(), segments.end(), [](const QString& segment) {
        return segment.isEmpty() || segment == u"." || segment == u"..";
    });
}

std::vector<ModelFile> filesOfVariant(const std::vector<TreeEntry>& entries, Repo repo) {
    const auto prefix = repo.subPath() + u'/';
    std::vector<ModelFile> files;
    for (const auto& entry : entries) {
        if (entry.type != u"file" || !entry.path.startsWith(prefix))
            continue;
        const auto relativePath = entry.path.mid(prefix.size());
        if (!isSafeRelativePath(relativePath))
            throw ASRError::processingFailed(QStringLiteral("Invalid model file path: ") +
                                             entry.path);
        files.push_back({entry.path, relativePath});
    }
    if (files.empty())
        throw ASRError::processingFailed(
            QStringLiteral("Nemotron 560 model files were not found."));
    return files;
}

void makeFolder(const QString& path) {
    if (!QDir().mkpath(path))
        fail(QStringLiteral("Could not create the folder %1.").arg(path));
}

bool existsAt(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QCoro::Task<std::vector<ModelFile>> listFiles(QNetworkAccessManager& network, Repo repo) {
    ReplyHandle reply(network.get(QNetworkRequest(listingURL(repo))));
    co_await qCoro(reply.get()).waitForFinished();
    requireSuccess(*reply, QStringLiteral("Could not list Nemotron model files."));
    co_return NemotronModelDownloader::filesInListing(reply->readAll(), repo);
}

// Streams the body into a temporary file beside the destination (QSaveFile) that takes the
// destination's name only once complete; on any failure the temporary file is removed.
QCoro::Task<void> fetchFile(QNetworkAccessManager& network, const ModelFile& file,
                            const QString& destination) {
    QSaveFile target(destination);
    if (!target.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Could not create a temporary file beside %1: %2")
                 .arg(destination, target.errorString()));

    ReplyHandle reply(network.get(QNetworkRequest(fileURL(file.path))));
    reply->setReadBufferSize(readBufferBytes);
    const auto writeAvailable = [&] {
        const auto chunk = reply->readAll();
        if (target.write(chunk) != chunk.size())
            reply->abort();
    };
    QObject receiver; // ends the connection with this frame
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &receiver, writeAvailable);
    co_await qCoro(reply.get()).waitForFinished();
    writeAvailable();

    requireSuccess(*reply, QStringLiteral("Could not download %1.").arg(file.relativePath));
    if (!target.commit())
        fail(QStringLiteral("Could not write %1: %2").arg(destination, target.errorString()));
}

} // namespace

namespace NemotronModelDownloader {

std::vector<ModelFile> filesInListing(const QByteArray& body, Repo repo) {
    return filesOfVariant(decodeListing(body), repo);
}

QUrl hubBaseURL() {
    const auto configured = qEnvironmentVariable("HF_ENDPOINT");
    if (configured.isEmpty())
        return QUrl(QStringLiteral("https://huggingface.co"));
    const QUrl url(configured, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"https" && url.scheme() != u"http") ||
        url.host().isEmpty())
        fail(QStringLiteral("HF_ENDPOINT is not an http(s) address: ") + configured);
    return url;
}

QString defaultModelsRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murmurvale/Models");
}

QString variantFolder(Repo repo, const QString& modelsRoot) {
    return modelsRoot + u'/' + repo.folderName();
}

bool isVariantPresent(Repo repo, const QString& modelsRoot) {
    return existsAt(variantFolder(repo, modelsRoot) + u'/' +
                    ModelNames::NemotronStreaming::encoderPath);
}

QCoro::Task<void> download(Repo repo, QString to, ProgressHandler progress) {
    QNetworkAccessManager network;
    const auto files = co_await listFiles(network, repo);
    const auto folder = variantFolder(repo, to);
    makeFolder(folder);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto destination = folder + u'/' + files[i].relativePath;
        if (!existsAt(destination)) {
            makeFolder(QFileInfo(destination).path());
            co_await fetchFile(network, files[i], destination);
        }
        if (progress)
            progress({double(i + 1) / double(files.size())});
    }
}

QCoro::Task<QString> locateOrDownload(Repo repo, std::optional<QString> modelsRoot,
                                      ProgressHandler progress, AppLogger logger) {
    const auto root = modelsRoot.value_or(defaultModelsRoot());
    const auto folder = variantFolder(repo, root);
    if (isVariantPresent(repo, root)) {
        logger.info(QStringLiteral("Using cached Nemotron models at ") + folder);
        co_return folder;
    }
    logger.info(QStringLiteral("Downloading Nemotron models to ") + root + QStringLiteral("..."));
    co_await download(repo, root, std::move(progress));
    co_return folder;
}

} // namespace NemotronModelDownloader
