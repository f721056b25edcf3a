"""A zanth_vec store partitioned over the hosts of a Ray cluster (extra: zanth_vec[ray]).

    from zanth.cluster import ZanthCluster
    store = ZanthCluster.create("docs", "/data/zanth", partitions=16, dim=768)
    store = ZanthCluster.open("docs")            # from any driver of the same Ray cluster
"""

from .client import ZanthCluster, actor_name, partition_path, partition_resource
from .partition import ManifestError
from .results import ClusterError, ClusterIdSet, PartialResult
from .routing import ROUTING_VERSION, partition_of

__all__ = ["ZanthCluster", "ClusterError", "ClusterIdSet", "PartialResult", "ManifestError",
           "ROUTING_VERSION", "partition_of", "actor_name", "partition_path",
           "partition_resource"]
