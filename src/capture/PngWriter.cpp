#include "PngWriter.h"

#include "CaptureError.h"
#include "HugePageBytes.h"
#include "PngPieces.h"

#include <QFutureSynchronizer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>

namespace kestrova {

Expected<QByteArray> PngWriter::encode(const QImage& image) {
    return encode(image, Options{});
}

Expected<QByteArray> PngWriter::encode(const QImage& source, const Options& options) {
    if (source.isNull())
        return CaptureError::make(CaptureError::Kind::encodeFailed);
    const bool alpha = source.hasAlphaChannel();
    const QImage::Format wanted = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    const QImage image = source.format() == wanted ? source : source.convertToFormat(wanted);
    if (image.isNull())
        return CaptureError::make(CaptureError::Kind::encodeFailed);

    const int w = image.width();
    const int h = image.height();
    const std::size_t rowBytes = std::size_t(w) * (alpha ? 4 : 3) + 1;

    // Rows are independent once the row above is known, and deflate streams can be
    // spliced: pieces of rows are filtered and compressed on every core, each core taking
    // the next piece when done with one and reusing its memory for it (fresh memory is
    // slow to come by). Each piece starts without the history before it, which costs
    // little on pieces this size.
    const int cores = PngPieces::cores(options);
    std::vector<PngPieces::Piece> pieces = PngPieces::split(h, rowBytes, options);
    const int count = int(pieces.size());
    const int rowsPerPiece = PngPieces::tallest(pieces);
    const PngPieces::Pixels pixels{image.constBits(), std::size_t(image.bytesPerLine()), w};
    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        const PngPieces::Compressor compressor = PngPieces::compressor(options);
        const auto rows = HugePageBytes::make(rowBytes * std::size_t(rowsPerPiece));
        if (!compressor || !rows)
            return; // the other cores take the pieces; if none can, encoding fails
        for (std::size_t p; (p = next++) < pieces.size();) {
            PngPieces::Piece& piece = pieces[p];
            PngPieces::filterRows(pixels, alpha, options.filter, piece.first, piece.last,
                                  rows.get());
            PngPieces::compress(piece, compressor.get(), rows.get(),
                                rowBytes * std::size_t(piece.last - piece.first),
                                p + 1 == pieces.size());
        }
    };
    {
        // Waits for every helper when it goes, however this block is left; one that has
        // not started by then finds no piece left.
        QFutureSynchronizer<void> helpers;
        for (int c = 1; c < std::min(cores, count); ++c)
            helpers.addFuture(QtConcurrent::run(work));
        work();
    }
    return PngPieces::assemble(pieces, image.size(), alpha, options.dotsPerMeter);
}

} // namespace kestrova
