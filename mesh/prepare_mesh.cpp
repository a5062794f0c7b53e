#include "mesh/prepare_mesh.h"

// Placeholder until mesh preparation lands: leaves the model as read.
void PrepareMesh(PolygonModel&, bool, bool) {}
