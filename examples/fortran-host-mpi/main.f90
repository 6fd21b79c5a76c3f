! Steady diffusion on an n x n x n box of cells in the unit cube, u = 0 on
! the walls, a unit source in every cell, spread over the ranks in slabs of
! whole planes k: each rank assembles its own rows (global ids counted from
! 1, 64-bit) and solves through the distributed form of the module qvl3d.
! Stops with code 1 unless the solve converged.
program fortran_host_mpi
  use, intrinsic :: iso_c_binding
  use mpi
  use qvl3d
  implicit none
  integer, parameter :: n = 16
  integer :: ierr, rank, ranks, k0, k1, i, j, k, d, side, here
  integer :: at(3), step(3)
  integer(c_int32_t) :: rows, row
  integer(c_int64_t) :: next, first
  integer(c_int64_t), allocatable :: rowptr(:), col(:)
  real(c_double), allocatable :: val(:), b(:), x(:)
  real(c_double) :: h, face, diagonal
  type(qvl3d_options) :: options
  type(qvl3d_result) :: result
  type(c_ptr) :: solver
  character(kind=c_char, len=256) :: text
  integer(c_size_t) :: length
  logical :: converged

  call MPI_Init(ierr)
  call MPI_Comm_rank(MPI_COMM_WORLD, rank, ierr)
  call MPI_Comm_size(MPI_COMM_WORLD, ranks, ierr)
  k0 = n * rank / ranks
  k1 = n * (rank + 1) / ranks
  rows = int(n * n * (k1 - k0), c_int32_t)
  allocate(rowptr(rows + 1), col(7 * rows + 1), val(7 * rows + 1), b(rows + 1), x(rows + 1))
  x = 0
  h = 1.0d0 / n
  face = h
  step = [1, n, n * n]
  next = 1
  row = 0
  rowptr(1) = 1
  do k = k0, k1 - 1
    do j = 0, n - 1
      do i = 0, n - 1
        at = [i, j, k]
        here = 1 + i + n * (j + n * k)
        diagonal = 0
        do d = 1, 3
          do side = -1, 1, 2
            if (at(d) + side < 0 .or. at(d) + side >= n) then
              diagonal = diagonal + 2 * face ! the wall lies half a cell away
              cycle
            end if
            diagonal = diagonal + face
            col(next) = here + side * step(d)
            val(next) = -face
            next = next + 1
          end do
        end do
        col(next) = here
        val(next) = diagonal
        next = next + 1
        row = row + 1
        rowptr(row + 1) = next
        b(row) = h**3
      end do
    end do
  end do
  first = 1_c_int64_t + int(n, c_int64_t) * n * k0

  converged = .false.
  if (qvl3d_options_default(options) /= QVL3D_OK) call MPI_Abort(MPI_COMM_WORLD, 1, ierr)
  options%method = QVL3D_METHOD_PCG
  options%rtol = 1d-10
  if (qvl3d_dsolver_create(MPI_COMM_WORLD, rows, rowptr, col, val, 1_c_int, c_null_ptr, first, options, solver) &
      /= QVL3D_OK) then
    length = qvl3d_dsolver_last_error_copy(c_null_ptr, text, len(text, kind=c_size_t))
    print '(a,i0,a)', 'fortran-host-mpi: rank ', rank, ': ' // text(1:index(text, c_null_char) - 1)
  else
    if (qvl3d_dsolver_solve(solver, b, x, result) == QVL3D_OK) then
      converged = result%converged == 1
      length = qvl3d_status_name_copy(result%status, text, len(text, kind=c_size_t))
      if (rank == 0) print '(a,i0,a,i0,a,a,a,i0,a,es10.3)', 'fortran-host-mpi: ', n * n * n, ' cells on ', ranks, &
        ' ranks, ', text(1:index(text, c_null_char) - 1), ' after ', result%iterations, &
        ' iterations, relative residual ', result%relative_residual
    else
      length = qvl3d_dsolver_last_error_copy(solver, text, len(text, kind=c_size_t))
      print '(a,i0,a)', 'fortran-host-mpi: rank ', rank, ': ' // text(1:index(text, c_null_char) - 1)
    end if
    call qvl3d_dsolver_destroy(solver)
  end if
  deallocate(rowptr, col, val, b, x)
  call MPI_Finalize(ierr)
  if (.not. converged) stop 1
end program fortran_host_mpi
