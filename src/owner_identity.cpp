// SPDX-License-Identifier: BSD-2-Clause
#include "owner_identity.h"

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

// Root's own identity while it writes as another user.
static bool writing_as_owner = false;
static gid_t root_group = 0;
static std::vector<gid_t> root_groups;

// Sets the groups, then the effective group, then the effective user. The groups come first
// because FreeBSD before 15 also sets the effective group from their first entry.
static int take_identity(const std::vector<gid_t> &groups, gid_t group, uid_t user)
{
    if (setgroups(int(groups.size()), groups.data()) != 0 || setegid(group) != 0 || seteuid(user) != 0)
        return -1;
    return 0;
}

// Root's identity back: the effective user first, as only root may set the groups.
static int take_root_identity()
{
    if (seteuid(0) != 0 || setgroups(int(root_groups.size()), root_groups.data()) != 0 || setegid(root_group) != 0)
        return -1;
    return 0;
}

int write_as_owner(const struct stat &directory)
{
    if (geteuid() != 0 || directory.st_uid == 0)
        return 0;
    gid_t group = directory.st_gid;
    std::vector<gid_t> groups = {group};
    // A lookup that fails is taken for no entry: fewer groups can only grant less.
    if (const struct passwd *entry = getpwuid(directory.st_uid)) {
        group = entry->pw_gid;
        if (user_groups(entry->pw_name, group, groups) != 0)
            return errno;
    } else if (group == 0) {
        return EPERM;
    }
    int count = getgroups(0, nullptr);
    root_groups.resize(count > 0 ? std::size_t(count) : 0);
    if (count < 0 || getgroups(count, root_groups.data()) != count)
        return errno;
    root_group = getegid();
    if (take_identity(groups, group, directory.st_uid) != 0) {
        int failure = errno;
        take_root_identity();
        return failure;
    }
    writing_as_owner = true;
    return 0;
}

int stop_writing_as_owner()
{
    if (!writing_as_owner)
        return 0;
    if (take_root_identity() != 0) {
        perror("Unable to return to root's identity");
        return 1;
    }
    writing_as_owner = false;
    return 0;
}
