// The filter graph's canvas step. The canvas objects are not part of the framework yet, so no
// object can be drawn: the frame passes through.
#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"

graphics::FilterImagePtr MVRFilterGraph::imageByCompositingCanvasObjects(const std::vector<CanvasObjectPtr>& objects,
                                                                         const graphics::FilterImagePtr& image)
{
    (void)objects;
    return image;
}
