#include "serial/AfDataDispatcher.h"

TAfDataDispConnComponent::TAfDataDispConnComponent(QObject* AOwner) : QObject(AOwner) {}

TAfDataDispConnComponent::~TAfDataDispConnComponent() = default;

void TAfDataDispConnComponent::Close() {}

void TAfDataDispConnComponent::Open() {}
