#include "sslservercontext.h"

#include "locking.h"
#include "logging.h"
#include "settings.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#ifdef Q_OS_UNIX
#include <dlfcn.h>
#endif

// The socket's context is reached through Qt's private socket class: its
// layout comes from the private headers of the very Qt build compiled
// against. Sharing is switched on only when that version also runs; a Qt of
// the same version built with other features would have another layout, so
// an installation pins the exact Qt build (the package's dependencies).
#if __has_include(<private/qsslsocket_p.h>)
#include <private/qsslsocket_p.h>
#define QUILLON_SHARED_SSL_CONTEXT
#endif

namespace quillon {

namespace {
#ifdef QUILLON_SHARED_SSL_CONTEXT
// The downcast is not checked by the sanitizers: Qt exports no type
// information for its private classes.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
QSharedPointer<QSslContext>& contextOf(QSslSocket* socket)
{
    return static_cast<QSslSocketPrivate*>(QObjectPrivate::get(socket))->sslContextPointer;
}
#endif
} // namespace

SslServerContext::SslServerContext(const QSslConfiguration& configuration)
    : m_configuration(configuration)
{
    // Sessions are resumed through OpenSSL's own cache and tickets in the
    // shared context. Qt's client-side session keeping would write the last
    // session into that context from every handler thread: it stays off.
    m_configuration.setSslOption(QSsl::SslOptionDisableSessionSharing, true);
    m_configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, true);
    const char* perSocket = nullptr;
#ifdef QUILLON_SHARED_SSL_CONTEXT
    if (qstrcmp(qVersion(), QT_VERSION_STR) != 0)
        perSocket = "Qt's version differs from the one built against";
    // With next protocols (ALPN) Qt rewrites the context's protocol list for
    // every socket it starts, which a shared context cannot take.
    else if (!m_configuration.allowedNextProtocols().isEmpty())
        perSocket = "next protocols are configured";
    else if (qEnvironmentVariableIsSet("QUILLON_SHARED_TLS_CONTEXT")
             && qEnvironmentVariableIntValue("QUILLON_SHARED_TLS_CONTEXT") == 0)
        perSocket = "QUILLON_SHARED_TLS_CONTEXT=0";
#else
    perSocket = "built without Qt's private headers";
#endif
    m_sharing = perSocket == nullptr;
    if (m_sharing)
        qCDebug(lcServer, "SslServerContext: the TLS connections share one context");
    else
        qCDebug(lcServer, "SslServerContext: a TLS context per connection (%s)", perSocket);
}

SslServerContext::~SslServerContext() = default;

SslServerContext* SslServerContext::fromSettings(QSettings* settings)
{
    QString keyFileName = settingValue(settings, QStringLiteral("sslKeyFile"), QString()).toString();
    QString certFileName = settingValue(settings, QStringLiteral("sslCertFile"), QString()).toString();
    if (keyFileName.isEmpty() || certFileName.isEmpty())
        return nullptr;

    // Without a TLS library a socket would stay plain while the log said
    // otherwise: TLS is off, as for unreadable files.
    if (!QSslSocket::supportsSsl()) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: TLS is not available (no usable OpenSSL library), "
                             "serving without TLS");
        return nullptr;
    }
    keyFileName = resolveUserFile(settings, keyFileName);
    certFileName = resolveUserFile(settings, certFileName);

    QFile certFile(certFileName);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(certFileName));
        return nullptr;
    }
    QSslCertificate certificate(&certFile, QSsl::Pem);
    certFile.close();

    QFile keyFile(keyFileName);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(keyFileName));
        return nullptr;
    }
    QSslKey sslKey(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    keyFile.close();

    QSslConfiguration configuration;
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(sslKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    // Only protocols that current clients still accept: TLS 1.2 and later.
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    qCDebug(lcServer, "HttpConnectionHandlerPool: SSL settings loaded");
    return new SslServerContext(configuration);
}

QTcpSocket* SslServerContext::createSocket(QObject* context, std::function<void()> encryptedProgress) const
{
    auto* socket = new QSslSocket;
    socket->setSslConfiguration(m_configuration);
    QObject::connect(socket, &QSslSocket::encryptedBytesWritten, context,
                     [progress = std::move(encryptedProgress)](qint64) { progress(); });
    return socket;
}

qint64 SslServerContext::encryptedBytesToWrite(QTcpSocket* socket)
{
    auto* ssl = qobject_cast<QSslSocket*>(socket);
    return ssl ? ssl->encryptedBytesToWrite() : 0;
}

void SslServerContext::startServerEncryption(QTcpSocket* plainSocket)
{
    auto* socket = static_cast<QSslSocket*>(plainSocket);
#ifdef QUILLON_SHARED_SSL_CONTEXT
    if (m_sharing) {
        QSharedPointer<QSslContext>& context = contextOf(socket);
        {
            MutexLocker locker(&m_mutex);
            if (context.isNull())
                context = m_context;
        }
        socket->startServerEncryption();
        // A context that failed to build is dropped by the socket at once.
        MutexLocker locker(&m_mutex);
        if (m_context.isNull() && !context.isNull() && socket->state() == QAbstractSocket::ConnectedState)
            m_context = context;
        return;
    }
#endif
    socket->startServerEncryption();
}

// OpenSSL frees what it keeps for a thread in a destructor of the thread's
// storage, which runs after QThread::wait() has returned: a process ending
// right then frees it a second time (OPENSSL_cleanup at exit), and a leak
// check sees it still held. Freed inside the thread, nothing is left for that
// destructor. Qt loads OpenSSL itself, so the function is looked up there.
void SslServerContext::releaseThreadState()
{
#ifdef Q_OS_UNIX
    using ThreadStop = void (*)();
    static const ThreadStop threadStop = [] {
        for (const char* name : {"libcrypto.so.3", "libcrypto.so.1.1", "libcrypto.so"}) {
            if (void* library = dlopen(name, RTLD_NOW | RTLD_NOLOAD))
                return reinterpret_cast<ThreadStop>(dlsym(library, "OPENSSL_thread_stop"));
        }
        return ThreadStop(nullptr);
    }();
    if (threadStop)
        threadStop();
#endif
}

} // namespace quillon
