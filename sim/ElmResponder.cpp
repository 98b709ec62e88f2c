#include "ElmResponder.h"

namespace tavrin::sim {

namespace {

const QByteArray kPrompt = QByteArrayLiteral("\r>");
const QByteArray kUnknown = QByteArrayLiteral("?\r\r>");
const QByteArray kNoData = QByteArrayLiteral("NO DATA\r\r>");
// No valid answer prefix and no error word a program might look for.
const QByteArray kGarbage = QByteArrayLiteral("#~%&@!\r\r>");
const QByteArray kStopped = QByteArrayLiteral("STOPPED\r\r>");
const QString kWithoutElm = QStringLiteral("OBDII v1.5");
const QString kDefaultHeader = QStringLiteral("7DF");
const QString kClusterHeader = QStringLiteral("720");
constexpr char kClusterReplyId[] = "728";
constexpr char kPadding = char(0xAA);  // what the cluster fills its frames with
constexpr int kPendingSpacingMs = 100;
constexpr int kPieceSpacingMs = 3;

QByteArray hexByte(quint8 b) {
    return QByteArray::number(b, 16).toUpper().rightJustified(2, '0');
}

bool isHexText(const QString& text) {
    for (QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f'))) return false;
    }
    return !text.isEmpty();
}

bool isReadService(quint8 service) {
    return service == 0x21 || service == 0x22;
}

}  // namespace

int delayPrompt(QList<Chunk>* chunks, int delayMs) {
    for (int i = int(chunks->size()) - 1; i >= 0; --i) {
        Chunk& chunk = (*chunks)[i];
        const int at = int(chunk.bytes.lastIndexOf('>'));
        if (at < 0) continue;
        if (at == 0) {
            chunk.delayMs = qMax(chunk.delayMs, delayMs);
            return i;
        }
        chunks->insert(i + 1, Chunk{chunk.bytes.mid(at), delayMs});
        (*chunks)[i].bytes.truncate(at);
        return i + 1;
    }
    return -1;
}

ElmResponder::ElmResponder(SimConfig& config) : config_(config) {
    powerUp();
}

void ElmResponder::powerUp() {
    echo_ = true;
    headers_ = false;
    header_ = kDefaultHeader;
}

QString ElmResponder::normalized(const QString& line) {
    QString out;
    out.reserve(line.size());
    for (QChar c : line) {
        if (!c.isSpace()) out += c.toLower();
    }
    return out;
}

// An empty line makes an ELM327 repeat the previous command.
QString ElmResponder::effectiveCommand(const QString& line) const {
    const QString cmd = normalized(line);
    return cmd.isEmpty() ? lastCommand_ : cmd;
}

bool ElmResponder::startsWith(const QString& line, const QString& prefix) const {
    return effectiveCommand(line).startsWith(normalized(prefix));
}

bool ElmResponder::faultHits(const QString& line) const {
    return config_.fault != Fault::None && startsWith(line, config_.faultCommand);
}

bool ElmResponder::isRequest(const QString& line) const {
    const QString cmd = effectiveCommand(line);
    return !cmd.startsWith(QLatin1String("at")) && isHexText(cmd) && cmd.size() % 2 == 0;
}

bool ElmResponder::silent(const QString& line) const {
    return config_.fault == Fault::Silence && faultHits(line);
}

Reply ElmResponder::respond(const QString& line) {
    Reply reply;
    if (silent(line)) return reply;
    const QString cmd = effectiveCommand(line);
    const Fault fault = faultHits(line) ? config_.fault : Fault::None;
    lastCommand_ = cmd;

    int delayMs = config_.answerDelayMs;
    QList<Chunk> chunks;
    const bool reset = cmd == QLatin1String("atz") || cmd == QLatin1String("atws");
    if (cmd.isEmpty()) {
        chunks << Chunk{kPrompt, delayMs};
    } else if (cmd.startsWith(QLatin1String("at"))) {
        QByteArray text = atCommand(cmd, fault, &delayMs);
        if (reset && !config_.afterResetEcho.isEmpty() && !unsupported(cmd))
            chunks << Chunk{config_.afterResetEcho, 0};
        chunks << Chunk{text, delayMs};
    } else if (cmd == QLatin1String("sti") && !config_.stIdentification.isEmpty()) {
        chunks << Chunk{config_.stIdentification.toLatin1() + "\r\r>", delayMs};
    } else if (cmd == QLatin1String("stdi") && !config_.stDevice.isEmpty()) {
        chunks << Chunk{config_.stDevice.toLatin1() + "\r\r>", delayMs};
    } else if (!isHexText(cmd) || cmd.size() % 2 != 0) {
        chunks << Chunk{kUnknown, delayMs};
    } else if (!config_.noBusAnswer.isEmpty()) {
        chunks << Chunk{config_.noBusAnswer.toLatin1() + "\r\r>", delayMs};
    } else if (config_.requireHeader && header_ != kClusterHeader) {
        chunks << Chunk{kNoData, delayMs};
    } else if (fault == Fault::NoData) {
        chunks << Chunk{kNoData, delayMs};
    } else if (fault == Fault::Garbage) {
        chunks << Chunk{kGarbage, delayMs};
    } else if (fault == Fault::AlwaysStopped) {
        chunks << Chunk{kStopped, delayMs};
    } else {
        const QByteArray request = QByteArray::fromHex(cmd.toLatin1());
        const QByteArray answer = clusterAnswer(request, fault);
        const bool unformatted = fault == Fault::Unformatted;
        if (fault == Fault::ResponsePending) {
            const QByteArray pending{"\x7F", 1};
            const QByteArray frame = frameLines(
                pending + QByteArray(1, request.at(0)) + QByteArray(1, '\x78'), unformatted);
            for (int i = 0; i < config_.pendingCount; ++i) {
                chunks << Chunk{frame, i == 0 ? delayMs : kPendingSpacingMs};
            }
            delayMs = config_.pendingCount > 0 ? kPendingSpacingMs : delayMs;
        }
        QByteArray lines = frameLines(answer, unformatted);
        if (fault == Fault::TruncatedRecord && answer.startsWith(QByteArray::fromHex("6103"))) {
            // A frame cut short on its way: the length byte still counts the
            // last data byte, but "XX \r" of it never arrives.
            lines.chop(4);
            lines += '\r';
        }
        chunks << Chunk{lines + kPrompt, delayMs};
    }

    if (fault == Fault::LineFeedAfterPrompt) chunks.last().bytes += '\n';
    if (fault == Fault::NulBytes) {
        for (Chunk& chunk : chunks) {
            chunk.bytes.replace("\r", QByteArray("\r\0", 2));
            chunk.bytes.replace(">", QByteArray("\0>", 2));
        }
    }
    if (fault == Fault::Glitch) chunks.first().bytes.prepend('\xFF');

    if (fault == Fault::Pieces) {
        // Sizes 1, 3, 2, 1, 3, 2, ... so both single characters and short runs
        // end up split across reads.
        static const int kSizes[] = {1, 3, 2};
        QList<Chunk> pieces;
        int k = 0;
        for (const Chunk& chunk : chunks) {
            for (int at = 0; at < chunk.bytes.size(); ++k) {
                const int size = kSizes[k % 3];
                pieces << Chunk{chunk.bytes.mid(at, size),
                                at == 0 ? chunk.delayMs : kPieceSpacingMs};
                at += size;
            }
        }
        chunks = pieces;
    }

    if (fault == Fault::DisconnectMidAnswer) {
        QByteArray all;
        for (const Chunk& chunk : chunks) all += chunk.bytes;
        chunks = {Chunk{all.left(qMax(1, int(all.size() / 2))), chunks.first().delayMs}};
        reply.hangUp = true;
    }

    reply.chunks = chunks;
    return reply;
}

bool ElmResponder::unsupported(const QString& cmd) const {
    for (const QString& entry : config_.unsupported) {
        const QString unknown = normalized(entry);
        if (cmd == unknown || (cmd.startsWith(unknown) && isHexText(cmd.mid(unknown.size()))))
            return true;
    }
    return false;
}

QByteArray ElmResponder::atCommand(const QString& cmd, Fault fault, int* delayMs) {
    if (unsupported(cmd)) return kUnknown;
    const QString identification =
        fault == Fault::ResetWithoutElm ? kWithoutElm : config_.identification;
    if (cmd == QLatin1String("atz") || cmd == QLatin1String("atws")) {
        powerUp();
        *delayMs += config_.resetDelayMs;
        return "\r\r" + identification.toLatin1() + "\r\r>";
    }
    if (cmd == QLatin1String("ati")) return identification.toLatin1() + "\r\r>";
    if (cmd == QLatin1String("ate0") || cmd == QLatin1String("ate1")) {
        echo_ = cmd.endsWith(QLatin1Char('1'));
    } else if (cmd == QLatin1String("ath0") || cmd == QLatin1String("ath1")) {
        headers_ = cmd.endsWith(QLatin1Char('1'));
    } else if (cmd.startsWith(QLatin1String("atsh"))) {
        const QString header = cmd.mid(4);
        if (!isHexText(header) || (header.size() != 3 && header.size() != 6 && header.size() != 8))
            return kUnknown;
        header_ = header.toUpper();
    }
    return QByteArrayLiteral("OK\r\r>");
}

QByteArray ElmResponder::clusterAnswer(const QByteArray& request, Fault fault) {
    const auto service = quint8(request.at(0));
    auto negative = [service](int code) {
        QByteArray out;
        out += char(0x7F);
        out += char(service);
        out += char(code);
        return out;
    };
    if (isReadService(service) && fault == Fault::NegativeRead) {
        return negative(config_.negativeCode);
    }
    switch (service) {
        case 0x22: {
            if (request.size() != 3) return negative(0x13);
            const int id = (quint8(request.at(1)) << 8) | quint8(request.at(2));
            QByteArray data;
            switch (id) {
                case 0xE21A:
                    data = config_.partPrefix.toLatin1();
                    break;
                case 0xE217:
                    data = config_.e217;
                    break;
                case 0xE219:
                    data = config_.e219;
                    break;
                case 0xE200:
                    data = config_.e200;
                    break;
                default:
                    return negative(0x31);
            }
            return QByteArray(1, char(0x62)) + request.mid(1, 2) + data;
        }
        case 0x21:
            if (request.size() != 2) return negative(0x13);
            if (quint8(request.at(1)) != 0x03) return negative(0x31);
            return QByteArray::fromHex("6103") + config_.record;
        case 0x3B: {
            if (fault == Fault::NegativeWrite) return negative(config_.negativeCode);
            if (request.size() < 2) return negative(0x13);
            if (quint8(request.at(1)) != 0x03) return negative(0x31);
            const QByteArray data = request.mid(2);
            if (data.size() != config_.record.size()) return negative(0x13);
            if (fault != Fault::WriteNotApplied) config_.record = data;
            return QByteArray::fromHex("7B03");
        }
        default:
            return negative(0x11);
    }
}

// How an ELM327 with CAN auto-formatting prints an answer: one line per CAN
// frame with headers on, the ISO-TP length and numbered lines without. With
// formatting off, each frame as it is on the bus.
QByteArray ElmResponder::frameLines(const QByteArray& payload, bool unformatted) const {
    auto bytes = [](const QByteArray& data) {
        QByteArray out;
        for (char b : data) out += hexByte(quint8(b)) + ' ';
        return out;
    };
    if (unformatted) {
        const int size = int(payload.size());
        QByteArrayList frames;
        if (size <= 7) {
            frames << QByteArray(1, char(size)) + payload;
        } else {
            frames << QByteArray(1, char(0x10 | ((size >> 8) & 0x0F))) + char(size & 0xFF) +
                          payload.left(6);
            for (int at = 6, seq = 1; at < size; at += 7, ++seq)
                frames << QByteArray(1, char(0x20 | (seq & 0x0F))) + payload.mid(at, 7);
        }
        const QByteArray id = headers_ ? QByteArray(kClusterReplyId) + ' ' : QByteArray();
        QByteArray out;
        for (const QByteArray& frame : frames)
            out += id + bytes(frame.leftJustified(8, kPadding)) + '\r';
        return out;
    }
    if (payload.size() <= 7) {
        QByteArray line;
        if (headers_)
            line = QByteArray(kClusterReplyId) + ' ' + hexByte(quint8(payload.size())) + ' ';
        return line + bytes(payload) + '\r';
    }
    QByteArray out;
    const int size = int(payload.size());
    if (headers_) {
        out += QByteArray(kClusterReplyId) + ' ' + hexByte(quint8(0x10 | ((size >> 8) & 0x0F))) +
               ' ' + hexByte(quint8(size & 0xFF)) + ' ' + bytes(payload.left(6)) + '\r';
    } else {
        out += QByteArray::number(size, 16).toUpper().rightJustified(3, '0') + "\r";
        out += "0: " + bytes(payload.left(6)) + '\r';
    }
    int seq = 1;
    for (int at = 6; at < size; at += 7, ++seq) {
        QByteArray part = payload.mid(at, 7);
        if (headers_) {
            // Frames on the bus are always eight bytes; the padding shows with headers.
            part += QByteArray(7 - part.size(), '\0');
            out += QByteArray(kClusterReplyId) + ' ' + hexByte(quint8(0x20 | (seq & 0x0F))) + ' ' +
                   bytes(part) + '\r';
        } else {
            out += QByteArray::number(seq & 0x0F, 16).toUpper() + ": " + bytes(part) + '\r';
        }
    }
    return out;
}

}  // namespace tavrin::sim
