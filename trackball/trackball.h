// Orientation control: the quaternion trackball that a left-button drag drives.
// The quaternion and matrix arithmetic here includes no GL header, so it can be tested bare.
#pragma once

// A rotation as (w, x, y, z), w the scalar part. Never renormalised.
struct Quaternion {
  double w, x, y, z;
};

// A 4 by 4 matrix stored column by column: m[4 * c + r] is row r, column c, the order
// glMultMatrixd takes.
struct RotationMatrix {
  double m[16];
};

constexpr Quaternion kIdentityQuaternion{1.0, 0.0, 0.0, 0.0};
constexpr RotationMatrix kIdentityMatrix{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};

// Hamilton product a ⊗ b: the rotation b followed by a.
Quaternion quaternionProduct(const Quaternion& a, const Quaternion& b);

// The rotation matrix of a unit quaternion.
RotationMatrix rotationMatrixOf(const Quaternion& q);

// The rotation for a drag of (dx, dy) pixels from the anchor in a window whose inverse size is
// (invWidth, invHeight): a drag across the whole window is a full turn about the axis
// (dy, dx, 0). Returns false when the drag turns nothing, that is when it has zero length or
// when its length is not finite (a window of zero width or height).
bool dragRotation(long long dx, long long dy, double invWidth, double invHeight,
                  Quaternion* rotation);

// Drag steps on the viewer's state.
void updateDrag(int x, int y);
void commitDrag(int x, int y);
void composeDragRotation(const Quaternion& drag);
void buildRotationMatrix();

// freeglut handlers. None of them asks for a redraw.
void onMouse(int button, int state, int x, int y);
void onMotion(int x, int y);
void onMouseWheel(int wheel, int direction, int x, int y);
