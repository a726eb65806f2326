#pragma once
// The metadata item stamped into exported movies: "Created with <application name>" under the
// common description key.

#include "Platform/Media/MetadataItem.h"

media::MetadataItem mvr_commonMetadataItem();
