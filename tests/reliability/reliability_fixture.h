#pragma once
// The end-to-end fixture under the name the reliability cases use.

#include "e2e_fixture.h"
#include "scm_client.h"

namespace qebtest {

class ReliabilityTest : public ServiceE2ETest {};

}  // namespace qebtest
