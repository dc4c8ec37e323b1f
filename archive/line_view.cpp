#include "archive/line_view.h"

#include <stdexcept>

namespace tolvek {

std::unique_ptr<TLineView> TLineView::OpenArchive(const QString&)
{
    throw std::runtime_error("the line view is not built yet");
}

std::unique_ptr<TLineView> TLineView::OpenLine(const QString&)
{
    throw std::runtime_error("the line view is not built yet");
}

} // namespace tolvek
