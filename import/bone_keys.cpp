#include "import/bone_keys.h"

namespace hm::imp {

namespace {

HostVec3 ToHost(Vec3d v) { return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)}; }

Affine Scaled(Affine rigid, double scale) {
    rigid.t = {rigid.t.x * scale, rigid.t.y * scale, rigid.t.z * scale};
    return rigid;
}

// The rotation of a rigid transform as host angles and its translation as a host position.
void Split(const Affine& a, HostVec3& position, HostVec3& rotation) {
    position = ToHost(a.t);
    rotation = ToHost(EulerFromRotation(a.m));
}

}  // namespace

Affine Recompose(const HostVec3& position, const HostVec3& rotation) {
    Affine out;
    out.m = RotationFromEuler({rotation.x, rotation.y, rotation.z});
    out.t = {position.x, position.y, position.z};
    return out;
}

HostBoneWriter::HostBoneWriter(hmModel& model, const Skeleton& skeleton, double scale) : model_(model), scale_(scale) {
    for (const SkeletonBone& bone : skeleton.bones) {
        const Affine rest = Scaled(bone.rest, scale);
        const Affine local = bone.parent < 0 ? rest : Multiply(Inverse(rebuiltRest_[static_cast<size_t>(bone.parent)]), rest);
        HostVec3 position, rotation;
        Split(local, position, rotation);
        const std::string parentName = bone.parent < 0 ? "" : skeleton.bones[static_cast<size_t>(bone.parent)].name;
        AddBone(&model_, bone.name, parentName, position, rotation);
        localRest_.push_back(Recompose(position, rotation));
        rebuiltRest_.push_back(bone.parent < 0 ? localRest_.back()
                                               : Multiply(rebuiltRest_[static_cast<size_t>(bone.parent)], localRest_.back()));
        parents_.push_back(bone.parent);
    }
    rebuiltPose_ = rebuiltRest_;
}

void HostBoneWriter::AddKeys(const std::vector<Affine>& pose, float time) {
    for (size_t b = 0; b < parents_.size(); ++b) {
        // localPose = localRest * K and absolutePose = parent's absolutePose * localPose.
        const Affine target = Scaled(pose[b], scale_);
        const Affine above = parents_[b] < 0 ? localRest_[b] : Multiply(rebuiltPose_[static_cast<size_t>(parents_[b])], localRest_[b]);
        const Affine key = Multiply(Inverse(above), target);
        HostPositionKey positionKey{};
        HostRotationKey rotationKey{};
        positionKey.time = rotationKey.time = time;
        Split(key, positionKey.value, rotationKey.value);
        HostBoneEntry& entry = *model_.bones[b];
        entry.positionKeys.push_back(positionKey);
        entry.rotationKeys.push_back(rotationKey);
        rebuiltPose_[b] = Multiply(above, Recompose(positionKey.value, rotationKey.value));
    }
}

}  // namespace hm::imp
