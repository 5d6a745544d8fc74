// SPDX-License-Identifier: MIT
// Replicas of the naming service, and the addresses of one server: the
// driver that makes the attempts the schedule names, and the two calls that
// go through it, connecting and looking up.
#include "orb_runtime.h"

#include <cxxabi.h>

#include <algorithm>

namespace OrbRuntime {
namespace {

// Runs `call` on `addresses` in `order` as the attempt schedule says, until
// one answers; `answered` is then its index. `learning`, when given, is the
// set whose recent answers set the first attempt time, and which learns from
// this call. Only calls that may be repeated come here: a narrow, a resolve;
// an attempt that timed out is abandoned. `reference(i, time)` gives the
// reference for an attempt. What the last attempt threw is thrown, TIMEOUT
// when the bound was spent before one; `attempts` names each.
template <typename Reference, typename Call>
ZORCLIENT_LETS_CANCELLATION_THROUGH auto inTurn(AddressSet* learning,
                                                const std::vector<PlannedAddress>& addresses,
                                                std::vector<std::size_t> order, Deadline deadline,
                                                std::string& attempts, std::size_t& answered,
                                                Reference reference, Call call)
    -> decltype(call(reference(0, AttemptTime()).in())) {
    const std::uint32_t alongside =
        learning == nullptr ? 1 : learning->callsInFlight.fetch_add(1) + 1;
    const std::unique_ptr<AddressSet, void (*)(AddressSet*)> inFlight(
        learning, [](AddressSet* set) { set->callsInFlight.fetch_sub(1); });
    AttemptPlan plan = planAttempts(std::move(order),
                                    learning == nullptr ? firstWaitMs(std::nullopt, 1)
                                                        : learnedFirstWaitMs(*learning, alongside),
                                    callTimeoutMs());
    std::exception_ptr lastFailure;
    for (;;) {
        const Step step = nextStep(plan, timeLeft(deadline, Clock::now()));
        const std::size_t i = step.address;
        if (step.kind == Step::Kind::EndSpent) {
            noteAttempt(attempts, addresses[i].label, "not tried: the bound was spent");
            throw CORBA::TIMEOUT(0, CORBA::COMPLETED_NO);
        }
        if (step.kind == Step::Kind::EndWithLastFailure) {
            if (plan.end == AttemptPlan::End::MostAttempts) {
                std::string left;
                for (const std::size_t never : untried(plan)) {
                    left += (left.empty() ? "" : ", ") + addresses[never].label;
                }
                if (!left.empty()) {
                    noteAttempt(attempts, left,
                                "not tried: the call made " + std::to_string(kMostAttempts) +
                                    " attempts, the most it makes");
                }
            }
            std::rethrow_exception(lastFailure);
        }
        const auto address = reference(i, step.time);
        const auto started = Clock::now();
        try {
            auto answer = OrbPlatform::cancellationSafe([&] { return call(address.in()); });
            if (learning != nullptr) {
                noteAnswer(*learning, i, started, Clock::now(), alongside);
            }
            answered = i;
            return answer;
        } catch (const CORBA::SystemException& ex) {
            const std::optional<Failure> failure = repeatableFailure(ex, address.in());
            noteAttempt(attempts, addresses[i].label, attemptOutcome(ex, step.time));
            if (!failure) {
                throw;
            }
            lastFailure = std::current_exception();
            // An answer in the attempt's second half: one that came before an
            // address was cut off mostly falls in the first.
            const auto* timeOut = std::get_if<TimeOut>(&step.time);
            const auto half = timeOut == nullptr ? Clock::duration::zero()
                                                 : std::chrono::milliseconds(timeOut->ms / 2);
            const bool busy = failure == Failure::TimedOut && learning != nullptr && !plan.stayed &&
                              answeringSince(*learning, i, started + half);
            if (noteFailure(plan, *failure, busy, timeLeft(deadline, Clock::now())) &&
                learning != nullptr) {
                moveOnFrom(*learning, i);
            }
        } catch (const abi::__forced_unwind&) {
            throw;  // thread cancellation must unwind on through the caller
        } catch (...) {
            noteAttempt(attempts, addresses[i].label, currentExceptionText());
            throw;
        }
    }
}

bool ofOneServer(const std::vector<PlannedAddress>& addresses) {
    return std::all_of(addresses.begin(), addresses.end(), [&](const PlannedAddress& address) {
        return !address.server.empty() && address.server == addresses.front().server;
    });
}

}  // namespace

void noteAttempt(std::string& attempts, const std::string& label, const std::string& outcome) {
    attempts += (attempts.empty() ? "" : "; ") + label + ": " + outcome;
}

std::optional<Failure> repeatableFailure(const CORBA::SystemException& ex,
                                         CORBA::Object_ptr address) {
    if (CORBA::TIMEOUT::_downcast(&ex) != nullptr) {
        return Failure::TimedOut;
    }
    if (CORBA::COMM_FAILURE::_downcast(&ex) != nullptr) {
        return Failure::Lost;
    }
    if (CORBA::TRANSIENT::_downcast(&ex) == nullptr) {
        return std::nullopt;
    }
    // A TRANSIENT that a naming server itself raises (it could not reach
    // another server) is its answer, not the address's failure.
    const bool answers = OrbPlatform::cancellationSafe([address] {
        try {
            address->_non_existent();
            return true;
        } catch (const CORBA::SystemException&) {
            return false;
        }
    });
    return answers ? std::nullopt : std::optional<Failure>(Failure::Refused);
}

std::string attemptOutcome(const CORBA::SystemException& ex, AttemptTime time) {
    if (CORBA::TIMEOUT::_downcast(&ex) == nullptr) {
        return OrbPlatform::shortSystemExceptionText(ex);
    }
    const auto* timeOut = std::get_if<TimeOut>(&time);
    return timeOut == nullptr ? std::string("TIMEOUT")
                              : "TIMEOUT after " + std::to_string(timeOut->ms) + " ms";
}

CosNaming::NamingContext_ptr connectReplicas(CORBA::ORB_ptr orb, const ConnectionPlan& plan,
                                             Deadline deadline, std::string& attempts) {
    const std::vector<PlannedAddress>& addresses = plan.addresses;
    // The whole service's reference is made only where it is used: one
    // address is tried through it, and replicas hold it.
    const auto wholeService = [orb, &plan] {
        CORBA::Object_var whole = orb->string_to_object(plan.wholeUrl.c_str());
        if (CORBA::is_nil(whole.in())) {
            throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
        }
        return whole;
    };
    // A server's own addresses are raced by the connection alone: the one
    // that answered is then held as a server of one address is.
    const bool replicas = addresses.size() > 1 && !ofOneServer(addresses);
    const std::shared_ptr<AddressSet> set = replicas ? makeAddressSet(orb, addresses) : nullptr;
    std::size_t answered = 0;
    CosNaming::NamingContext_var narrowed;
    if (addresses.size() > 1) {
        narrowed = connectSeveral(orb, plan, set.get(), replicas, deadline, attempts, answered);
    } else {
        const CORBA::Object_var whole = wholeService();
        narrowed = inTurn(
            nullptr, addresses, {0}, deadline, attempts, answered,
            [&](std::size_t, AttemptTime time) {
                return CORBA::Object_var(boundedObject(orb, whole.in(), time));
            },
            [](CORBA::Object_ptr address) {
                return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(address));
            });
    }
    if (CORBA::is_nil(narrowed.in())) {
        return CosNaming::NamingContext::_nil();
    }
    // The host's own calls on the held context have the whole bound: with one
    // server the context that answered, as the ORB gave it (a naming server
    // may have forwarded it); with replicas, the one that may reach any of them.
    if (!replicas) {
        return boundedContext(orb, narrowed.in(), wholeBound());
    }
    const CORBA::Object_var service = wholeService();
    const CosNaming::NamingContext_var context =
        CosNaming::NamingContext::_unchecked_narrow(service.in());
    CosNaming::NamingContext_var held = boundedContext(orb, context.in(), wholeBound());
    keepSet(held.in(), set);
    return held._retn();
}

CORBA::Object_ptr resolveOnReplicas(CosNaming::NamingContext_ptr held, const CosNaming::Name& name,
                                    Deadline deadline, std::string& attempts) {
    std::vector<std::size_t> order;
    const std::shared_ptr<AddressSet> set = keptSet(held, order);
    if (set == nullptr) {  // fell out of the table since: one attempt, within the bound
        return OrbPlatform::cancellationSafe([&] { return CORBA::Object_var(held->resolve(name)); })
            ._retn();
    }
    std::size_t answered = 0;
    return inTurn(
               set.get(), set->addresses, std::move(order), deadline, attempts, answered,
               [&set](std::size_t i, AttemptTime time) {
                   return CosNaming::NamingContext_var(lookupAttempt(*set, i, time));
               },
               [&name](CosNaming::NamingContext_ptr address) {
                   return CORBA::Object_var(address->resolve(name));
               })
        ._retn();
}

}  // namespace OrbRuntime
