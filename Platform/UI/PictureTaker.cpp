#include "Platform/UI/PictureTaker.h"

#include "Platform/Dispatch/Queue.h"

namespace ui {

PictureTaker& PictureTaker::sharedPictureTaker()
{
    static PictureTaker taker;
    return taker;
}

void PictureTaker::popUpRecentsMenuForView(View* view, EndHandler didEnd)
{
    ++m_popUps;
    m_lastView = view;
    ModalResponse code = ModalResponseCancel;
    if (m_scripted) {
        code = m_scripted->first;
        m_outputImage = m_scripted->second;
        m_scripted.reset();
    } else {
        m_outputImage = nullptr;
    }
    // The menu is modeless: the answer comes after the call has returned, as a click would.
    dispatch::Queue::main()->async([this, code, didEnd = std::move(didEnd)] {
        if (didEnd)
            didEnd(*this, code);
    });
}

} // namespace ui
