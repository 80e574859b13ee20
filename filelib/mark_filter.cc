#include "filelib/mark_filter.h"

#include <cstring>

namespace vslk64 {

CMarkFilter::CMarkFilter() : layerCount_(4), column_(-1), mode_(0), state_(kAllPass) {
  std::memset(layers_, 0xFF, sizeof layers_);
}

CMarkFilter::CMarkFilter(const CMarkFilter& other)
    : layerCount_(other.layerCount_),
      column_(other.column_),
      mode_(other.mode_),
      state_(other.state_.load(std::memory_order_relaxed)) {
  std::memcpy(layers_, other.layers_, sizeof layers_);
}

CMarkFilter& CMarkFilter::operator=(const CMarkFilter& other) {
  if (this != &other) {
    std::memcpy(layers_, other.layers_, sizeof layers_);
    layerCount_ = other.layerCount_;
    column_ = other.column_;
    mode_ = other.mode_;
    state_.store(other.state_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  return *this;
}

int CMarkFilter::SetItem(int layer, int item, int action) {
  if (layer >= layerCount_ || item >= 256 || layer < -1 || item < -1) return -1;
  const int firstLayer = layer < 0 ? 0 : layer;
  const int endLayer = layer < 0 ? layerCount_ : layer + 1;
  const int firstItem = item < 0 ? 0 : item;
  const int endItem = item < 0 ? 256 : item + 1;
  for (int l = firstLayer; l < endLayer; ++l) {
    for (int v = firstItem; v < endItem; ++v) {
      uint8_t& byte = layers_[l][v >> 3];
      const uint8_t bit = static_cast<uint8_t>(1u << (v & 7));
      switch (action) {
        case 0: byte = static_cast<uint8_t>(byte & ~bit); break;
        case 1: byte = static_cast<uint8_t>(byte | bit); break;
        case 2: byte = static_cast<uint8_t>(byte ^ bit); break;
        default: break;
      }
    }
  }
  Changed();
  return 0;
}

bool CMarkFilter::GetItem(int layer, int item) const {
  if (layer < 0 || layer >= kMaxLayers || item < 0 || item >= 256) return false;
  return Accepts(layer, static_cast<uint8_t>(item));
}

void CMarkFilter::SetMode(int mode) {
  mode_ = mode;
  Changed();
}

int CMarkFilter::SetLayerCount(int count) {
  if (count < 0 || count > kMaxLayers) return -1;
  layerCount_ = count;
  Changed();
  return 0;
}

void CMarkFilter::SetColumn(int column) {
  if (column >= -1) column_ = column;
}

int CMarkFilter::GetMask(int layer, uint8_t* mask32) const {
  if (layer < 0 || layer >= kCopyableLayers || mask32 == nullptr) return -1;
  std::memcpy(mask32, layers_[layer], kMaskBytes);
  return 0;
}

int CMarkFilter::SetMask(int layer, const uint8_t* mask32) {
  if (layer < 0 || layer >= kCopyableLayers || mask32 == nullptr) return -1;
  std::memcpy(layers_[layer], mask32, kMaskBytes);
  Changed();
  return 0;
}

bool CMarkFilter::LayerFull(int layer) const {
  for (uint8_t b : layers_[layer])
    if (b != 0xFF) return false;
  return true;
}

bool CMarkFilter::LayerEmpty(int layer) const {
  for (uint8_t b : layers_[layer])
    if (b != 0) return false;
  return true;
}

int32_t CMarkFilter::Summary() const {
  int32_t s = state_.load(std::memory_order_relaxed);
  if (s != kUnknown) return s;
  if (mode_ != 0 && mode_ != 1) {
    s = kNonePass;  // an unknown mode rejects every item
  } else if (layerCount_ < 1) {
    s = mode_ == 0 ? kAllPass : kNonePass;
  } else {
    s = LayerFull(0) ? kAllPass : LayerEmpty(0) ? kNonePass : kSomePass;
    const int k = mode_ == 0 ? layerCount_ : 1;
    for (int l = 1; l < k && s != kSomePass; ++l) {
      if (s == kAllPass ? !LayerFull(l) : !LayerEmpty(l)) s = kSomePass;
    }
  }
  state_.store(s, std::memory_order_relaxed);
  return s;
}

bool CMarkFilter::Match(const uint8_t code[4]) const {
  // Layers beyond the four code bytes of a TMarker have nothing to test; an
  // unknown mode passes nothing.
  if (mode_ != 0 && mode_ != 1) return false;
  return CodesPass(layers_, layerCount_, mode_ == 1, code);
}

bool CMarkFilter::operator==(const CMarkFilter& other) const {
  return layerCount_ == other.layerCount_ && mode_ == other.mode_ &&
         std::memcmp(layers_, other.layers_, sizeof layers_) == 0;
}

}  // namespace vslk64
